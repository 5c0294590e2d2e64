# Cross-builds the Win32 backend with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the POSIX
# thread model, which std::thread and std::mutex need). The C++ and GCC runtimes are linked in,
# so sonquarry-scan.exe needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SONQUARRY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SONQUARRY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SONQUARRY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SONQUARRY_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SONQUARRY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# winpthreads too, so that no DLL of the toolchain is needed at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test programs run under Wine when ctest runs them here.
find_program(SONQUARRY_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(SONQUARRY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SONQUARRY_WINE})
endif()
