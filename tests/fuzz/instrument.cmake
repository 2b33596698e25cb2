# Compiler flags of the fuzz build (BUILD_FUZZERS=ON), set before any code is
# added so that the plug-in's objects and the host library are instrumented
# as the fuzz targets are. Clang only: libFuzzer comes with it.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "BUILD_FUZZERS needs clang++ (-DCMAKE_CXX_COMPILER=clang++)")
endif()
if(NOT SANITIZE STREQUAL "")
  message(FATAL_ERROR "BUILD_FUZZERS sets its own sanitizers: leave SANITIZE empty")
endif()

# FUZZ_COVERAGE: source-based coverage instead of the sanitizers, for
# measuring what a corpus reaches (llvm-cov).
option(FUZZ_COVERAGE "Fuzz build with coverage mapping instead of sanitizers" OFF)

add_compile_options(-fsanitize=fuzzer-no-link -fno-omit-frame-pointer -gline-tables-only)
# Clang's -Wall warns of a base overload hidden by a derived one (the
# signature feed's private Load hides the feed base's Load); GCC's does not.
add_compile_options(-Wno-overloaded-virtual)
if(FUZZ_COVERAGE)
  add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
  add_link_options(-fprofile-instr-generate)
else()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
