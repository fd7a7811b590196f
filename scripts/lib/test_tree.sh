# The sanitized build of the test suites, shared by scripts/test and
# scripts/quick-test. Environment: KV_TEST_BUILD_DIR (default build/test),
# KV_JOBS (default: every processor).
BUILD_DIR=${KV_TEST_BUILD_DIR:-build/test}
JOBS=${KV_JOBS:-$(nproc)}

# configure_test_tree — configures BUILD_DIR with AddressSanitizer and
# UndefinedBehaviorSanitizer.
configure_test_tree() {
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON
}

# sanitizer_environment — exports the sanitizers' options for the test runs,
# unless the caller set its own (the build itself runs with the defaults).
sanitizer_environment() {
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
}
