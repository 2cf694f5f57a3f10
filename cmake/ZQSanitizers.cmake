# ZQ_SANITIZE builds every target of the tree (library, tests, tools) with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report aborts the run.
if(ZQ_BUILD_FUZZERS)
  set(ZQ_SANITIZE ON)
  # Coverage instrumentation for everything the fuzz targets reach.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
# ZQ_SANITIZE_THREAD builds it with ThreadSanitizer instead (the two cannot be
# combined), for the tests that run many threads and processes at once.
if(ZQ_SANITIZE_THREAD)
  if(ZQ_SANITIZE)
    message(FATAL_ERROR "ZQ_SANITIZE_THREAD cannot be combined with ZQ_SANITIZE or fuzzers")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(ZQ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
