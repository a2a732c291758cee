#include "platform/windows/command_line.h"

namespace termiva::platform::windows {

namespace {

// Backslashes are literal unless they run into a double quote: before one (or before the
// closing quote we add) each must be doubled.
void append_quoted(std::wstring& out, const std::wstring& arg, const wchar_t* quote_escape) {
    out += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2, L'\\');
            out += quote_escape;
        } else {
            out.append(backslashes, L'\\');
            out += c;
        }
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
}

wchar_t lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool ends_with_ci(const std::wstring& text, const wchar_t* tail) {
    const std::wstring t(tail);
    if (text.size() < t.size()) return false;
    for (std::size_t i = 0; i < t.size(); ++i)
        if (lower(text[text.size() - t.size() + i]) != t[i]) return false;
    return true;
}

bool equals_ci(const std::wstring& text, const wchar_t* other) {
    return text.size() == std::wstring(other).size() && ends_with_ci(text, other);
}

// cmd.exe alone or at the end of a path, any case.
bool is_cmd_program(const std::wstring& program) {
    return equals_ci(program, L"cmd.exe") || equals_ci(program, L"cmd") ||
           ends_with_ci(program, L"\\cmd.exe") || ends_with_ci(program, L"/cmd.exe");
}

}  // namespace

std::wstring quote_argument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out;
    append_quoted(out, arg, L"\\\"");
    return out;
}

std::wstring program_command_line(const std::vector<std::wstring>& argv) {
    std::wstring line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += L' ';
        // The program name is split by simpler rules (up to the next quote, no escapes);
        // a path cannot hold a quote, so quoting it the same way is exact.
        line += quote_argument(argv[i]);
    }
    return line;
}

bool is_batch_file(const std::wstring& path) {
    return ends_with_ci(path, L".bat") || ends_with_ci(path, L".cmd");
}

bool is_powershell_script(const std::wstring& path) {
    return ends_with_ci(path, L".ps1");
}

std::wstring batch_command_line(const std::vector<std::wstring>& argv) {
    std::wstring inner;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::wstring& arg = argv[i];
        if (arg.find_first_of(std::wstring(L"\r\n\0", 3)) != std::wstring::npos)
            throw UnsafeArgument("an argument for a batch file holds a line break or NUL");
        if (i > 0) inner += L' ';
        // Inside quotes cmd.exe leaves & | < > ^ ( ) alone; a quote doubled keeps it inside
        // the quotes for cmd.exe and reaches the batch file's %1 as "" (as %~1 shows it).
        std::wstring escaped;
        for (wchar_t c : arg) {
            // %cd:~,% expands to nothing, so no %NAME% pair can form across it.
            if (c == L'%')
                escaped += L"%%cd:~,%";
            else
                escaped += c;
        }
        append_quoted(inner, escaped, L"\"\"");
    }
    // With /s, cmd.exe removes exactly the first and the last quote of what follows /c.
    return L"\"" + inner + L"\"";
}

std::wstring console_command_line(const std::vector<std::wstring>& argv) {
    if (argv.empty() || !is_cmd_program(argv[0])) return program_command_line(argv);
    std::size_t c = 1;
    while (c < argv.size() && !equals_ci(argv[c], L"/c"))
        ++c;
    if (c + 1 >= argv.size()) return program_command_line(argv);
    std::wstring command;
    for (std::size_t i = c + 1; i < argv.size(); ++i) {
        if (i > c + 1) command += L' ';
        command += argv[i];
    }
    if (command.find_first_of(std::wstring(L"\r\n\0", 3)) != std::wstring::npos)
        throw UnsafeArgument("a command for cmd.exe holds a line break or NUL");
    std::vector<std::wstring> switches(argv.begin(), argv.begin() + static_cast<long>(c) + 1);
    return program_command_line(switches) + L" \"" + command + L"\"";
}

}  // namespace termiva::platform::windows
