# Strict warnings for the project's own targets; third-party headers come in
# as system includes and are not affected.
function(zq_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion)
  if(ZQ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
