# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread
# model, which std::thread and std::mutex need) and runs the results under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZARIT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARIT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARIT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARIT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZARIT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static, so Wine needs none of MinGW's DLLs (libstdc++, libgcc, winpthread);
# the program with Qt shares them with Qt's DLLs instead.
if(NOT ZARIT_MINGW_SHARED_RUNTIME)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()

find_program(ZARIT_WINE wine)
if(ZARIT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZARIT_WINE})
endif()
