# Cross-compiling zel for 64-bit Windows with MinGW-w64 on a Debian host.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
#
# The posix thread model is required: the win32 model of GCC 12 has no std::thread,
# std::mutex or std::counting_semaphore. Everything is linked statically so that the
# executables and modules need no runtime DLLs beside them. Tests run under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR (scripts/windows-test sets up its prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW_TRIPLE}-windres)

# Headers and libraries of the target (zlib from libz-mingw-w64-dev lives here); programs
# are the host's.
# A prefix of cross-built dependencies (expat, GoogleTest) may be given with
# -DCMAKE_FIND_ROOT_PATH=...; the MinGW root is always searched.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static C and C++ runtimes and winpthread: no libgcc_s_seh-1.dll, libstdc++-6.dll or
# libwinpthread-1.dll to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(ZEL_WINE wine)
if(ZEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEL_WINE})
endif()
