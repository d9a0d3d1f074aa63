# Cross-building the Windows program on Debian with MinGW-w64 (posix threads,
# so that std::thread and std::mutex are there), linked statically so that
# the executables need nothing beside the system's own DLLs. The Windows
# executables run here under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SKEWMON_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SKEWMON_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKEWMON_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SKEWMON_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SKEWMON_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# GoogleTest is compiled from Debian's sources with this compiler.
set(SKEWMON_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")

# Test programs run under Wine, in a Wine prefix of the build tree.
get_filename_component(SKEWMON_TOOLCHAIN_TOP "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${SKEWMON_TOOLCHAIN_TOP}/scripts/wine-env.sh;--prefix;${CMAKE_BINARY_DIR}/wine")
