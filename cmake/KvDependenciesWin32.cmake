# Third-party libraries of the 32-bit Windows build: cross-built once by
# scripts/build-windows-deps into the folder KV_WIN32_DEPS (static libraries
# and nlohmann's headers), zlib from the toolchain. They are offered under
# the target names the subsystems use on Linux, so the subsystems' own
# build files stay the same for both systems.
set(KV_WIN32_DEPS "$ENV{KV_WIN32_DEPS}" CACHE PATH "Prefix of the cross-built Windows libraries")
if(NOT KV_WIN32_DEPS OR NOT EXISTS "${KV_WIN32_DEPS}/.complete")
  message(FATAL_ERROR "KV_WIN32_DEPS must name a folder made by scripts/build-windows-deps")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${KV_WIN32_DEPS}")
list(APPEND CMAKE_PREFIX_PATH "${KV_WIN32_DEPS}")

# zlib is linked statically: libcurl's package file looks for it again and
# would otherwise take the import library of zlib1.dll.
find_library(KV_WIN32_ZLIB_LIBRARY NAMES libz.a REQUIRED)
set(ZLIB_LIBRARY "${KV_WIN32_ZLIB_LIBRARY}" CACHE FILEPATH "zlib, static" FORCE)
set(ZLIB_LIBRARY_RELEASE "${KV_WIN32_ZLIB_LIBRARY}" CACHE FILEPATH "zlib, static" FORCE)
set(ZLIB_USE_STATIC_LIBS ON)

find_package(Threads REQUIRED)
find_package(CURL CONFIG REQUIRED)
find_package(libzip CONFIG REQUIRED)
find_package(SDL2 CONFIG REQUIRED)
find_package(SDL2_mixer CONFIG REQUIRED)

# A static library of the deps folder under a Linux target name.
function(kv_win32_alias name)
  cmake_parse_arguments(ARG "" "" "LIBS;DEFINES;INCLUDES" ${ARGN})
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  if(ARG_LIBS)
    set_target_properties(${name} PROPERTIES INTERFACE_LINK_LIBRARIES "${ARG_LIBS}")
  endif()
  if(ARG_DEFINES)
    set_target_properties(${name} PROPERTIES INTERFACE_COMPILE_DEFINITIONS "${ARG_DEFINES}")
  endif()
  if(ARG_INCLUDES)
    set_target_properties(${name} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${ARG_INCLUDES}")
  endif()
endfunction()

kv_win32_alias(PkgConfig::KVDEP_CURL
  LIBS CURL::libcurl ${KV_WIN32_ZLIB_LIBRARY} ws2_32 crypt32 secur32 bcrypt advapi32
  DEFINES CURL_STATICLIB)
kv_win32_alias(PkgConfig::KVDEP_ZIP
  LIBS libzip::zip ${KV_WIN32_ZLIB_LIBRARY} bcrypt advapi32
  DEFINES ZIP_STATIC)
kv_win32_alias(nlohmann_json::nlohmann_json INCLUDES "${KV_WIN32_DEPS}/include")
kv_win32_alias(KV::SDL2 LIBS SDL2_mixer::SDL2_mixer-static SDL2::SDL2-static)
# libsodium (release signatures), cross-built static by scripts/build-windows-deps.
find_library(KV_WIN32_SODIUM_LIBRARY NAMES libsodium.a REQUIRED)
# Its random numbers come from advapi32's RtlGenRandom.
kv_win32_alias(PkgConfig::KVDEP_SODIUM LIBS ${KV_WIN32_SODIUM_LIBRARY} advapi32 DEFINES SODIUM_STATIC
  INCLUDES "${KV_WIN32_DEPS}/include")
