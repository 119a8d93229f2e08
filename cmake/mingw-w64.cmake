# Cross build for 64-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-x86-64), so that
# the Winsock side of the platform layer is compiled on every submission:
#   cmake --preset mingw && cmake --build --preset mingw
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VITA49_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: GCC 12's win32 model has no std::thread.
set(CMAKE_C_COMPILER ${VITA49_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VITA49_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VITA49_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VITA49_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C++ and thread runtimes, so they run without DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Test programs run under wine when it is installed (Debian's wine64 keeps it in /usr/lib/wine).
find_program(VITA49_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VITA49_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VITA49_WINE})
endif()

# No GoogleTest for this target comes with Debian: build it from the source package.
set(CMAKE_PROJECT_vita49_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/Vita49CrossGTest.cmake)
