# Cross-compiles the launcher for 32-bit Windows with Debian's MinGW-w64
# toolchain. The "-posix" compilers use the POSIX thread model, which the
# launcher needs for std::thread and std::mutex; the unsuffixed compilers use
# the win32 model and have neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KV_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KV_MINGW_TRIPLET}-windres)

# Only the toolchain's own folder and the cross-built libraries are searched
# for headers and libraries; the build machine's /usr/include holds glibc
# headers that must never reach the Windows build.
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLET})
if(DEFINED ENV{KV_WIN32_DEPS})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{KV_WIN32_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
