# tavrin.exe with MinGW-w64 (64-bit): cross-built on Linux with Debian's
# compilers (POSIX thread model), or natively on Windows with MSYS2's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVRIN_MINGW_PREFIX x86_64-w64-mingw32)
set(native_cxx "")
set(native_cc "")
set(native_rc "")
if(CMAKE_HOST_WIN32)
  set(native_cxx g++)
  set(native_cc gcc)
  set(native_rc windres)
endif()

# Prefer the POSIX thread-model compiler; fall back to the default one, and
# on Windows to MSYS2's unprefixed names.
find_program(TAVRIN_MINGW_CXX NAMES ${TAVRIN_MINGW_PREFIX}-g++-posix ${TAVRIN_MINGW_PREFIX}-g++ ${native_cxx}
             REQUIRED)
set(CMAKE_CXX_COMPILER ${TAVRIN_MINGW_CXX})
# GoogleTest's project also enables C.
find_program(TAVRIN_MINGW_CC NAMES ${TAVRIN_MINGW_PREFIX}-gcc-posix ${TAVRIN_MINGW_PREFIX}-gcc ${native_cc}
             REQUIRED)
set(CMAKE_C_COMPILER ${TAVRIN_MINGW_CC})
find_program(CMAKE_RC_COMPILER NAMES ${TAVRIN_MINGW_PREFIX}-windres ${native_rc} REQUIRED)

if(NOT CMAKE_HOST_WIN32)
  set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW_PREFIX})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
