# Optional instrumented builds. Included before any target is defined, so the
# flags reach every library, program and test.

option(SKELVANE_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(SKELVANE_FUZZ "Build the libFuzzer target in fuzz/ (clang; sanitizers included)" OFF)

if(SKELVANE_SANITIZE OR SKELVANE_FUZZ)
  # Undefined behaviour ends the process like a memory error, so no test or
  # fuzzer run can pass over it.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(SKELVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SKELVANE_FUZZ needs clang's libFuzzer: configure with CXX=clang++")
  endif()
  if(NOT SKELVANE_TESTS)
    message(FATAL_ERROR "SKELVANE_FUZZ needs SKELVANE_TESTS: the fuzz target uses the test image builder")
  endif()
  # Coverage feedback from everything the fuzz target runs.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
