// Command lines for CreateProcessW. Windows passes one string, and each program splits it
// itself: an ordinary program by the C runtime's rules (CommandLineToArgvW), a batch file
// by cmd.exe's, which also expands %VAR% and treats & | < > ^ as commands. An argument
// quoted only the first way reaches a .cmd file as something else, or runs a command.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace termiva::platform::windows {

// An argument that no quoting can carry to a batch file unchanged (a line break or NUL:
// cmd.exe ends the command there).
class UnsafeArgument : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// One argument for the C runtime's rules: bare when it needs no quotes, else in double
// quotes with backslashes doubled before a quote or the end and quotes escaped.
std::wstring quote_argument(const std::wstring& arg);

// The command line for an ordinary program: argv[0] then each argument, quoted as above.
std::wstring program_command_line(const std::vector<std::wstring>& argv);

// True for a file cmd.exe runs (.bat or .cmd, any case).
bool is_batch_file(const std::wstring& path);

// True for a PowerShell script (.ps1, any case).
bool is_powershell_script(const std::wstring& path);

// What cmd.exe gets after "/c" to run batch file argv[0] with the other arguments: every
// piece in double quotes, quotes doubled, % broken so no %NAME% can form, backslashes
// doubled before a quote, and the whole wrapped in one more pair of quotes for /s.
// Throws UnsafeArgument for a line break or NUL in any piece.
std::wstring batch_command_line(const std::vector<std::wstring>& argv);

// The command line for a shell started on a console: as program_command_line, except that
// when argv[0] is cmd.exe, everything after its "/c" is a command in cmd.exe's own syntax
// (its quotes, & and > mean what the user meant), so it goes verbatim inside the one pair
// of quotes that "/s" removes. Throws UnsafeArgument for a line break or NUL in that
// command: cmd.exe would run only the part before it.
std::wstring console_command_line(const std::vector<std::wstring>& argv);

}  // namespace termiva::platform::windows
