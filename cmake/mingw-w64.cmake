# Cross build for Windows with MinGW-w64; included by the toolchain file of each architecture
# (mingw-w64-x86_64.cmake, mingw-w64-i686.cmake), which sets TARNEX_MINGW_PREFIX and the processor first.
#
# The posix-thread compilers are named explicitly: GCC 12's win32 thread model has no std::thread or
# std::mutex, and installing mingw-w64 may make that variant the default one behind the plain names.
# Everything is linked statically (libstdc++, libgcc, winpthread), so the programs and the driver DLL
# depend on system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TARNEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNEX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TARNEX_MINGW_PREFIX}-objdump)
set(CMAKE_STRIP ${TARNEX_MINGW_PREFIX}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, with the loader of their architecture (scripts/wine-run.sh); ctest
# prefixes every Windows test command with this.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
