# Cross-compiling for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64-posix: the posix thread model, so std::thread and
# std::mutex are available).
#   cmake -S <dir> -B <build> -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
# AMBRIK_WINDOWS_DEPS: the folder of the static libraries that
# scripts/windows-deps.sh builds; searched before the cross compiler's own.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
if(NOT AMBRIK_WINDOWS_DEPS AND DEFINED ENV{AMBRIK_WINDOWS_DEPS})
  set(AMBRIK_WINDOWS_DEPS "$ENV{AMBRIK_WINDOWS_DEPS}")
endif()
if(AMBRIK_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${AMBRIK_WINDOWS_DEPS})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AMBRIK_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs carry the C and C++ runtimes and winpthread inside them, so
# they need no DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test programs (GoogleTest's discovery among them) run under wine when it is
# there.
find_program(AMBRIK_WINE NAMES wine)
if(AMBRIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AMBRIK_WINE})
endif()
