# `cpack -G DEB` in a build tree packs what `cmake --install` installs into
# zqutils_<version>_<arch>.deb. Configure that tree with
# -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS=ON: a Debian package ships
# the shared library (with the headers, the CMake and pkg-config files and the
# tool), and a /usr prefix gives the multiarch library folder.
set(CPACK_PACKAGE_NAME zqutils)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "ZQ::RVL::Utils developers <zqutils@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Identifiers, settings and encrypted containers for C++17 applications.\n\
libzqutils (GUID values, a preferences store, the ZQCRYPTO container), its\n\
public headers, CMake and pkg-config files, and the zqutil command-line tool.")
# dpkg-shlibdeps derives the runtime dependencies (libssl3, libplist3,
# libstdc++6, libc6 ...) from what the binaries link; the shlibs file lets
# other packages depend on this one's soname, and registers the ldconfig
# trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
