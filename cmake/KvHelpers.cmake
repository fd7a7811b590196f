# Warnings for the project's own code only.
set(KV_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
    -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough -Wno-missing-field-initializers
    # GCC 12 reports impossible overlaps in inlined std::string code at -O2.
    -Wno-restrict)

if(KV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# kv_library(NAME SOURCES ... [DEPS ...]) — one static library per subsystem.
function(kv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${KV_WARNINGS})
  target_compile_definitions(${name} PUBLIC KV_SITE_HOST_DEFAULT="${KV_SITE_HOST}")
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# kv_executable(NAME SOURCES ... [DEPS ...]) — a thin program over the libraries.
function(kv_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${KV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# kv_test(NAME SOURCES ... [DEPS ...] [LABELS ...] [TIMEOUT s]) — a GoogleTest binary registered with CTest.
function(kv_test name)
  if(NOT KV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${KV_WARNINGS} -Wno-conversion -Wno-old-style-cast)
  # Test helpers come with the targets that provide them (kv_test_support
  # carries tests/ for "support/...").
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "KV_SOURCE_DIR=${PROJECT_SOURCE_DIR};KV_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# kv_subsystem(NAME [DEPS ...] [TEST_DEPS ...]) — the library of the current
# source folder: every .cpp except *_test.cpp and the entry points main.cpp
# and win32_main.cpp (each program picks its own). The folder's
# *_test.cpp files form one test binary NAME_test.
function(kv_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "(_test|/main|/win32_main)\\.cpp$")
  if(sources)
    kv_library(${name} SOURCES ${sources} DEPS ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(tests)
    kv_test(${name}_test SOURCES ${tests} DEPS ${name} ${ARG_TEST_DEPS} kv_platform_fake kv_test_support)
  endif()
endfunction()
