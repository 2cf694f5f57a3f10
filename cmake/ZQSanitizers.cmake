# ZQ_SANITIZE builds every target of the tree (library, tests, tools) with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report aborts the run.
if(ZQ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
