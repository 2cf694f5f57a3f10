# Runs in cpack after the .deb files are made (CPACK_POST_BUILD_SCRIPTS).
# CPack of CMake 3.25 writes no Multi-Arch field, so this adds
# "Multi-Arch: same" to the control file of each package named in
# CPACK_ZQ_MULTI_ARCH_SAME and packs it again with dpkg-deb: the library
# packages of several architectures install side by side, since every file
# they share (headers, documentation) is the same on all of them.
foreach(zq_deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(zq_name "${zq_deb}" NAME)
  string(REGEX REPLACE "_.*" "" zq_package "${zq_name}")
  list(FIND CPACK_ZQ_MULTI_ARCH_SAME "${zq_package}" zq_index)
  if(zq_index EQUAL -1)
    continue()
  endif()
  set(zq_tree "${zq_deb}.tree")
  file(REMOVE_RECURSE "${zq_tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${zq_deb}" "${zq_tree}"
                  RESULT_VARIABLE zq_failed)
  if(zq_failed)
    message(FATAL_ERROR "dpkg-deb could not unpack ${zq_deb}")
  endif()
  file(READ "${zq_tree}/DEBIAN/control" zq_control)
  if(NOT zq_control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n"
           zq_control "${zq_control}")
    if(NOT zq_control MATCHES "(^|\n)Multi-Arch: same\n")
      message(FATAL_ERROR "${zq_deb} has no Architecture field")
    endif()
    file(WRITE "${zq_tree}/DEBIAN/control" "${zq_control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${zq_tree}" "${zq_deb}"
                  OUTPUT_QUIET RESULT_VARIABLE zq_failed)
  file(REMOVE_RECURSE "${zq_tree}")
  if(zq_failed)
    message(FATAL_ERROR "dpkg-deb could not pack ${zq_deb} again")
  endif()
endforeach()
