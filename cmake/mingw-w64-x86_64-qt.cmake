# The whole program for 64-bit Windows, with the Qt that
# scripts/bootstrap-windows builds:
#   cmake -S . -B build-win/app -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64-qt.cmake \
#     -DZARIT_QT_PREFIX=$(scripts/bootstrap-windows | tail -n 1)
# MinGW's C++ runtime comes as DLLs, the same ones Qt's DLLs use: one runtime
# in the process, not a static copy beside theirs.
set(ZARIT_MINGW_SHARED_RUNTIME ON)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(ZARIT_QT_PREFIX "" CACHE PATH "Qt for MinGW-w64, as scripts/bootstrap-windows prints it")
if(NOT ZARIT_QT_PREFIX)
  message(FATAL_ERROR "set ZARIT_QT_PREFIX to the Qt that scripts/bootstrap-windows prints")
endif()
# try_compile projects see it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZARIT_QT_PREFIX)
list(APPEND CMAKE_FIND_ROOT_PATH ${ZARIT_QT_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${ZARIT_QT_PREFIX})
# Qt's build tools (moc, uic, rcc) are Debian's, for this machine.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
