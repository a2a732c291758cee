# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix-thread variant: std::thread
# and std::mutex need winpthreads). Used by scripts/build-windows.sh.
#
# TERMIVA_WIN_DEPS names the prefix scripts/windows-deps.sh installed into (libssh, GoogleTest,
# nlohmann-json's headers); it is forwarded to CMake's try-compile projects as well.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TERMIVA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TERMIVA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TERMIVA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TERMIVA_MINGW}-windres)

if(NOT TERMIVA_WIN_DEPS AND DEFINED ENV{TERMIVA_WIN_DEPS})
  set(TERMIVA_WIN_DEPS $ENV{TERMIVA_WIN_DEPS})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TERMIVA_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${TERMIVA_MINGW} ${TERMIVA_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the Windows libraries, never the host's .pc files.
if(TERMIVA_WIN_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${TERMIVA_WIN_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
