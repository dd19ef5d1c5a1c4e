# Cross-compiles Quelmar for 64-bit Windows with Debian's MinGW-w64 (the
# "posix" thread model, which std::thread and GoogleTest need).
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The test programs run through Wine: add_test() prefixes every target with
# CMAKE_CROSSCOMPILING_EMULATOR.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUELMAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUELMAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELMAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELMAR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUELMAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained quelmar.exe: the C and C++ runtimes and winpthread are
# linked in, so no MinGW DLL has to travel beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(QUELMAR_WINE NAMES wine wine64)
if(QUELMAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELMAR_WINE})
endif()
