# Flags of the fuzzing build: every library of the launcher is built with
# libFuzzer's coverage instrumentation, AddressSanitizer and
# UndefinedBehaviorSanitizer; the fuzz targets add libFuzzer's main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "KV_FUZZ needs clang (configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang)")
endif()
if(KV_SANITIZE)
  message(FATAL_ERROR "KV_FUZZ brings its own sanitizers; leave KV_SANITIZE off")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -Wno-unknown-warning-option)
add_link_options(-fsanitize=address,undefined)
