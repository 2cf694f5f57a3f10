# ZQ_SANITIZE builds every target of the tree (library, tests, tools) with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report aborts the run.
if(ZQ_BUILD_FUZZERS)
  set(ZQ_SANITIZE ON)
  # Coverage instrumentation for everything the fuzz targets reach.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(ZQ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
