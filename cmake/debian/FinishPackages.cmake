# Runs in cpack after the .deb files are made (CPACK_POST_BUILD_SCRIPTS) and
# finishes them as Debian's own tools would, which CPack of CMake 3.25 does
# not:
#   - strips what dh_strip strips: the .comment and .note sections of the
#     shared library and the tool, and debugging symbols and those sections
#     of the static library, whose members get no time stamps or owners;
#   - counts Installed-Size again, as dpkg-gencontrol does (a KiB for each
#     folder and link, each file's size rounded up to KiB);
#   - adds "Multi-Arch: same" to the control file of each package named in
#     CPACK_ZQ_MULTI_ARCH_SAME: the library packages of several architectures
#     install side by side, since every file they share (headers,
#     documentation) is the same on all of them;
# then writes the package's md5sums again and packs it with dpkg-deb.
function(zq_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "finishing the packages: '${command}' failed")
  endif()
endfunction()

foreach(zq_deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(zq_name "${zq_deb}" NAME)
  string(REGEX REPLACE "_.*" "" zq_package "${zq_name}")
  set(zq_tree "${zq_deb}.tree")
  file(REMOVE_RECURSE "${zq_tree}")
  zq_run(dpkg-deb --raw-extract "${zq_deb}" "${zq_tree}")

  file(GLOB_RECURSE zq_files LIST_DIRECTORIES false RELATIVE "${zq_tree}" "${zq_tree}/usr/*")
  set(zq_sums "")
  foreach(zq_file IN LISTS zq_files)
    set(zq_path "${zq_tree}/${zq_file}")
    if(IS_SYMLINK "${zq_path}")
      continue()
    endif()
    if(zq_file MATCHES "\\.a$")
      zq_run(strip --strip-debug --remove-section=.comment --remove-section=.note
             --enable-deterministic-archives "${zq_path}")
    elseif(zq_file MATCHES "^usr/bin/|\\.so(\\.[0-9]+)*$")
      zq_run(strip --remove-section=.comment --remove-section=.note --strip-unneeded "${zq_path}")
    endif()
    file(MD5 "${zq_path}" zq_md5)
    string(APPEND zq_sums "${zq_md5}  ${zq_file}\n")
  endforeach()
  file(WRITE "${zq_tree}/DEBIAN/md5sums" "${zq_sums}")

  file(GLOB_RECURSE zq_entries LIST_DIRECTORIES true "${zq_tree}/*")
  set(zq_kib 0)
  foreach(zq_entry IN LISTS zq_entries)
    if(zq_entry MATCHES "/DEBIAN(/|$)")
      continue()
    elseif(IS_SYMLINK "${zq_entry}" OR IS_DIRECTORY "${zq_entry}")
      math(EXPR zq_kib "${zq_kib} + 1")
    else()
      file(SIZE "${zq_entry}" zq_size)
      math(EXPR zq_kib "${zq_kib} + (${zq_size} + 1023) / 1024")
    endif()
  endforeach()
  file(READ "${zq_tree}/DEBIAN/control" zq_control)
  string(REGEX REPLACE "(^|\n)Installed-Size: [0-9]+" "\\1Installed-Size: ${zq_kib}" zq_control
         "${zq_control}")
  file(WRITE "${zq_tree}/DEBIAN/control" "${zq_control}")

  list(FIND CPACK_ZQ_MULTI_ARCH_SAME "${zq_package}" zq_index)
  if(NOT zq_index EQUAL -1 AND NOT zq_control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n"
           zq_control "${zq_control}")
    if(NOT zq_control MATCHES "(^|\n)Multi-Arch: same\n")
      message(FATAL_ERROR "${zq_deb} has no Architecture field")
    endif()
    file(WRITE "${zq_tree}/DEBIAN/control" "${zq_control}")
  endif()

  zq_run(dpkg-deb --root-owner-group --build "${zq_tree}" "${zq_deb}")
  file(REMOVE_RECURSE "${zq_tree}")
endforeach()
