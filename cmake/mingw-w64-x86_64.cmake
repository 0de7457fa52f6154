# Cross-builds kelvor.exe for 64-bit Windows with MinGW-w64 (Debian package
# g++-mingw-w64-x86-64-posix). The runtime libraries are linked statically, so the
# .exe needs nothing beside the system DLLs of Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread (which the posix thread model pulls in) go into
# the .exe itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
