# Shared by the MinGW-w64 toolchain files; OLVEX_MINGW names the target triple.
# The posix thread model: googletest and the test programs need std::mutex and
# std::thread. Linked statically, it adds no DLL to what the library imports.
set(CMAKE_C_COMPILER ${OLVEX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OLVEX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${OLVEX_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${OLVEX_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Everything we ship or run must import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Tests run under Wine; the runner gives each build folder a prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
