# Install rules: the library, its public headers, the zqutil tool, a CMake
# package (find_package(ZQUtils CONFIG) gives ZQ::Utils), a pkg-config file
# (zqutils.pc), and the CPack settings of the Debian package.
include(CMakePackageConfigHelpers)

set(ZQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZQUtils)
if(BUILD_SHARED_LIBS)
  set(ZQ_UTILS_SHARED ON)
else()
  set(ZQ_UTILS_SHARED OFF)
endif()

# Three components, which the Debian packages follow (cmake/ZQPackaging.cmake):
# runtime (the shared library), development (headers, the .so link, a static
# library, the CMake and pkg-config files) and tool (zqutil, its manual page
# and bash completion).
# The headers go to include/zqutils/utils/...; the installed target adds
# include/zqutils to its consumers' include path.
set(ZQ_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/zqutils)
install(TARGETS zqutils EXPORT ZQUtilsTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  FILE_SET HEADERS DESTINATION ${ZQ_HEADER_DIR} COMPONENT development
  INCLUDES DESTINATION ${ZQ_HEADER_DIR})
# A shared build's static twin (CMakeLists.txt) goes beside the shared library,
# for programs that link it by name; the CMake package offers the shared one.
if(TARGET zqutils_static)
  install(TARGETS zqutils_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

# zq_gzip(<file> <file.gz>): compresses at configure time, at the highest
# level and without a time stamp.
function(zq_gzip from to)
  execute_process(COMMAND gzip -9 -n -c ${from} OUTPUT_FILE ${to} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${from}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${from})
endfunction()

if(TARGET zqutil)
  # Installed outside the system's library folders, the tool finds a shared
  # libzqutils relative to itself, so the tree works wherever it lands. In a
  # system folder (/usr, as the Debian packages are built) the loader finds
  # the library there, and the tool records no search path, as Debian wants.
  # Decided when installing, for the prefix installed under
  # (`cmake --install --prefix DIR`).
  # A static build's tool loads nothing of the tree and records nothing.
  if(BUILD_SHARED_LIBS)
    file(RELATIVE_PATH zq_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(zqutil PROPERTIES INSTALL_RPATH "$ORIGIN/${zq_bin_to_lib}")
  endif()
  install(TARGETS zqutil RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  if(BUILD_SHARED_LIBS)
    install(CODE "
      set(zq_system_folders \"${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES}\")
      list(FIND zq_system_folders \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\" zq_at)
      if(NOT zq_at EQUAL -1)
        file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zqutil\")
      endif()"
      COMPONENT tool)
  endif()
  # The manual page takes its version and date from the project. Manual pages
  # are installed compressed, as man finds them; gzip -n keeps the file the
  # same from build to build.
  configure_file(tools/zqutil/zqutil.1.in ${PROJECT_BINARY_DIR}/zqutil.1 @ONLY)
  zq_gzip(${PROJECT_BINARY_DIR}/zqutil.1 ${PROJECT_BINARY_DIR}/zqutil.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/zqutil.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES tools/zqutil/zqutil.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zqutil
          COMPONENT tool)
endif()

install(EXPORT ZQUtilsTargets
  NAMESPACE ZQ::
  FILE ZQUtilsTargets.cmake
  DESTINATION ${ZQ_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(cmake/ZQUtilsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZQUtilsConfig.cmake
  INSTALL_DESTINATION ${ZQ_CMAKE_DIR})
# A 0.x release may break what the one before offered; from 1.0 on, a newer
# minor release keeps what older ones had.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(zq_compatibility SameMinorVersion)
else()
  set(zq_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZQUtilsConfigVersion.cmake
  COMPATIBILITY ${zq_compatibility})
install(FILES
  ${PROJECT_BINARY_DIR}/ZQUtilsConfig.cmake
  ${PROJECT_BINARY_DIR}/ZQUtilsConfigVersion.cmake
  DESTINATION ${ZQ_CMAKE_DIR}
  COMPONENT development)

# zqutils.pc names its folders from ${prefix}, the prefix the tree is installed
# under, so that pkg-config filters the system's own folders (a /usr install
# gives "-I/usr/include/zqutils -lzqutils"). The prefix is written in when the
# file is installed (cmake/WritePkgConfig.cmake.in): `cmake --install --prefix
# DIR` gets DIR. What the static libzqutils needs is a private requirement
# beside a shared one (only `--static` asks for it; the shared library records
# its own), and a plain one where the static library is all there is.
if(ZQ_UTILS_SHARED)
  set(ZQ_PC_REQUIRES_FIELD Requires.private)
else()
  set(ZQ_PC_REQUIRES_FIELD Requires)
endif()
set(ZQ_PC_PREFIX_MARK "@ZQ_PC_PREFIX_MARK@")  # filled in when installing
configure_file(cmake/zqutils.pc.in ${PROJECT_BINARY_DIR}/zqutils.pc.in @ONLY)
configure_file(cmake/WritePkgConfig.cmake.in ${PROJECT_BINARY_DIR}/WritePkgConfig.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/WritePkgConfig.cmake COMPONENT development)

include(ZQPackaging)
