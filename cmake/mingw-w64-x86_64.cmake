# Cross-compilation for 64-bit Windows with the mingw-w64 compiler of the
# POSIX thread model (std::thread works; runtime libraries linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run under Wine through a wrapper that refuses to run
# outside a throwaway prefix prepared by the test harness.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
