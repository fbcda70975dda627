# Cross-compiles romseed.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64-win32). The runtime is linked in statically,
# so the .exe needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The oldest Windows of that width: Windows XP SP3 x64 (Server 2003), so that the headers
# declare nothing it lacks. The win32 variant brings no winpthreads, whose
# imports XP lacks.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0502 -DWINVER=0x0502")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0502 -DWINVER=0x0502")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
