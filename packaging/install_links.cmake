# Run by `cmake --install` after the program folder is in place: the links in bin/ and
# the desktop entry, both naming the prefix given at install time (which may differ from
# the configured one). DESTDIR stays out of what the files say.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${root}/bin")
foreach(program termiva termiva-host)
  if(EXISTS "${root}/lib/termiva/${program}")
    file(REMOVE "${root}/bin/${program}")
    file(CREATE_LINK "../lib/termiva/${program}" "${root}/bin/${program}" SYMBOLIC)
    message(STATUS "Installing: ${root}/bin/${program} -> ../lib/termiva/${program}")
  endif()
endforeach()

# The program as the desktop entry names it: TryExec takes the path as it is; Exec quotes
# it (a prefix may hold blanks) with the characters that need it escaped, "%" doubled,
# and then the backslashes of both doubled again as every string value needs.
set(TERMIVA_TRY_EXEC "${CMAKE_INSTALL_PREFIX}/bin/termiva")
set(exec "${TERMIVA_TRY_EXEC}")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "\"" "\\\"" exec "${exec}")
string(REPLACE "`" "\\`" exec "${exec}")
string(REPLACE "$" "\\$" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
string(REPLACE "\\" "\\\\" exec "${exec}")
set(TERMIVA_EXEC "\"${exec}\"")
string(REPLACE "\\" "\\\\" TERMIVA_TRY_EXEC "${TERMIVA_TRY_EXEC}")
set(entry "${root}/share/applications/termiva.desktop")
configure_file("${TERMIVA_DESKTOP_TEMPLATE}" "${entry}" @ONLY)
message(STATUS "Installing: ${entry}")
