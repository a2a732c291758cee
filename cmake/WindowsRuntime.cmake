# Copies into the Windows program folder every DLL its programs load that is not Windows' own:
# the mingw run-time (C++ library, GCC support, winpthreads) and the libraries linked as DLLs
# (zlib, libgcrypt with libgpg-error, libssh from the deps prefix).
set(TERMIVA_WINDOWS_DLLS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll zlib1.dll)
if(TARGET termiva_ssh1 OR TARGET termiva_ssh2)
  list(APPEND TERMIVA_WINDOWS_DLLS libgcrypt-20.dll libgpg-error-0.dll)
endif()
if(TARGET termiva_ssh2)
  list(APPEND TERMIVA_WINDOWS_DLLS libssh.dll)
endif()

set(dll_paths)
foreach(dll ${TERMIVA_WINDOWS_DLLS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    unset(found)
    find_file(found_${dll} ${dll} PATHS /usr/${TERMIVA_MINGW}/bin /usr/${TERMIVA_MINGW}/lib
      ${TERMIVA_WIN_DEPS}/bin NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    set(found ${found_${dll}})
  endif()
  if(NOT found OR NOT EXISTS "${found}")
    message(FATAL_ERROR "${dll} not found: run scripts/install-deps.sh and scripts/windows-deps.sh")
  endif()
  list(APPEND dll_paths "${found}")
endforeach()

add_custom_target(termiva_windows_runtime ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TERMIVA_PROGRAM_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll_paths} ${TERMIVA_PROGRAM_DIR}
  COMMENT "mingw run-time and library DLLs → program folder" VERBATIM)
# The notices follow what the folder delivers.
if(TARGET termiva_notices)
  add_dependencies(termiva_notices termiva_windows_runtime)
endif()
