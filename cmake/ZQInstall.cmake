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
install(TARGETS zqutils EXPORT ZQUtilsTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

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
  # The tool finds a shared libzqutils relative to itself, so an installed
  # tree works wherever it lands (a temporary prefix as well as /usr).
  file(RELATIVE_PATH zq_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(zqutil PROPERTIES INSTALL_RPATH "$ORIGIN/${zq_bin_to_lib}")
  install(TARGETS zqutil RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  # Manual pages are installed compressed, as man finds them; gzip -n keeps
  # the file the same from build to build.
  zq_gzip(${PROJECT_SOURCE_DIR}/tools/zqutil/zqutil.1 ${PROJECT_BINARY_DIR}/zqutil.1.gz)
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

# zqutils.pc names its prefix relative to its own folder, so it stays right
# when the tree is installed with `cmake --install --prefix` or moved. The
# dependencies only matter when linking the static library: a shared one
# records them itself, and listing them would make pkg-config demand their
# development files from every user of the shared library.
file(RELATIVE_PATH ZQ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZQ_PC_TO_PREFIX "${ZQ_PC_TO_PREFIX}")
if(ZQ_UTILS_SHARED)
  set(ZQ_PC_REQUIRES_PRIVATE "")
else()
  set(ZQ_PC_REQUIRES_PRIVATE "Requires.private: libcrypto >= 3.0, libplist-2.0\n")
endif()
configure_file(cmake/zqutils.pc.in ${PROJECT_BINARY_DIR}/zqutils.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zqutils.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

include(ZQPackaging)
