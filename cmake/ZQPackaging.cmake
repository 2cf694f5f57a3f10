# `cpack -G DEB` in a build tree packs what `cmake --install` installs into
# three Debian packages, as Debian ships a library:
#   libzqutils<soname version>  the shared library alone (section libs), so
#                               that programs built against one ABI keep it
#                               while another is installed beside it;
#   libzqutils-dev              the headers, the libzqutils.so link, the static
#                               library, the CMake and pkg-config files
#                               (section libdevel);
#   zqutil                      the tool, its manual page, its bash completion
#                               (section utils).
# Configure that tree with -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS=ON:
# a /usr prefix gives the multiarch library folder.
set(ZQ_RUNTIME_PACKAGE libzqutils${ZQ_SOVERSION})
set(ZQ_MAINTAINER "ZQ RVL Utils developers <zqutils@example.org>")

# The release day as a Debian changelog writes it ("Wed, 09 Dec 2026
# 12:00:00 +0000").
execute_process(COMMAND env LC_ALL=C date -u -d "${ZQ_RELEASE_DATE} 12:00" "+%a, %d %b %Y %T +0000"
                OUTPUT_VARIABLE ZQ_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE zq_failed)
if(zq_failed OR NOT ZQ_CHANGELOG_DATE)
  message(FATAL_ERROR "the release date '${ZQ_RELEASE_DATE}' is not a date")
endif()

# Each package carries its copyright file and the changelog in its own
# /usr/share/doc folder (a native package: changelog.gz).
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
zq_gzip(${PROJECT_BINARY_DIR}/debian/changelog ${PROJECT_BINARY_DIR}/debian/changelog.gz)
foreach(zq_pair IN ITEMS "runtime;${ZQ_RUNTIME_PACKAGE}" "development;libzqutils-dev"
                         "tool;zqutil")
  list(GET zq_pair 0 zq_component)
  list(GET zq_pair 1 zq_package)
  # A static build installs no runtime package's files (it has no shared
  # library), and one without the tool none of the tool's.
  if((zq_component STREQUAL "tool" AND NOT TARGET zqutil) OR
     (zq_component STREQUAL "runtime" AND NOT BUILD_SHARED_LIBS))
    continue()
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${zq_package} COMPONENT ${zq_component})
endforeach()

if(BUILD_SHARED_LIBS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/runtime.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${ZQ_RUNTIME_PACKAGE}
          COMPONENT runtime)
endif()

# Each package's Description starts with its own summary line. CPack puts the
# project's summary before it unless the summary is CPack's own default text,
# which is therefore named here.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_NAME zqutils)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZQ_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZQ_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Stage the packages' files through DESTDIR, so that the install step sees the
# packages' own prefix (zqutils.pc records it), not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET zqutil)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE zqutils)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZQ_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "C++17 identifiers, settings and encrypted containers (library)\n\
libzqutils gives C++17 applications GUID values, a preferences store and the\n\
ZQCRYPTO encrypted container. This package holds the shared library.")
# dpkg-shlibdeps derives the runtime dependencies (libssl3, libplist3,
# libstdc++6, libc6 ...) from what the binaries link; the shlibs file lets
# other packages depend on this one's soname, and the trigger has ldconfig
# update its cache when the library comes or goes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack would call ldconfig from maintainer scripts of its own; these
# replace them and leave the work to the trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzqutils-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The static library needs OpenSSL's and libplist's development files to link,
# and zqutils.pc names them as private requirements.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${ZQ_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}), libssl-dev (>= 3.0), libplist-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "C++17 identifiers, settings and encrypted containers (development)\n\
libzqutils gives C++17 applications GUID values, a preferences store and the\n\
ZQCRYPTO encrypted container. This package holds the public headers (in\n\
/usr/include/zqutils), the libzqutils.so link, the static libzqutils.a, the\n\
CMake package and zqutils.pc.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zqutil)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
# The tool's own library is in its sibling package, which dpkg-shlibdeps does
# not know of while the packages are being built: it is named here.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${ZQ_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "Command-line tool of ZQ::RVL::Utils\n\
zqutil makes and parses GUIDs, encrypts, decrypts and inspects ZQCRYPTO\n\
containers, and reads and writes an application's settings.")

# Stripped as Debian strips, and both library packages install side by side
# for several architectures.
set(CPACK_ZQ_MULTI_ARCH_SAME ${ZQ_RUNTIME_PACKAGE} libzqutils-dev)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/FinishPackages.cmake)

include(CPack)
