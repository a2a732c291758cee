#include "platform/standard_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include "platform/windows/wide_text.h"

namespace termiva::platform {

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(windows::to_utf8(wide[i]));
    ::LocalFree(wide);
    return out;
}

void binary_standard_input() {
    ::_setmode(_fileno(stdin), _O_BINARY);
}

std::FILE* take_standard_output() {
    std::fflush(stdout);
    // Not inherited: a child started with inheritable handles must not hold the protocol
    // pipe open after this program has gone.
    const int protocol_fd = ::_dup(_fileno(stdout));
    if (protocol_fd < 0) return nullptr;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(::_get_osfhandle(protocol_fd)),
                           HANDLE_FLAG_INHERIT, 0);
    ::_setmode(protocol_fd, _O_BINARY);
    ::_dup2(_fileno(stderr), _fileno(stdout));
    ::SetStdHandle(STD_OUTPUT_HANDLE, ::GetStdHandle(STD_ERROR_HANDLE));
    std::FILE* protocol = ::_fdopen(protocol_fd, "wb");
    if (!protocol) ::_close(protocol_fd);
    return protocol;
}

}  // namespace termiva::platform
