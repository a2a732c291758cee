#include "platform/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

namespace termiva::platform {

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void binary_standard_input() {}

std::FILE* take_standard_output() {
    // Not inherited: a helper program must not hold the protocol pipe open after this
    // program has gone.
    const int protocol_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (protocol_fd < 0) return nullptr;
    // A large drain answer is megabytes: a roomier pipe takes it in fewer hand-overs
    // between this process and its reader. Not a pipe, or no room to give: no matter.
    ::fcntl(protocol_fd, F_SETPIPE_SZ, 1 << 20);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    std::FILE* protocol = ::fdopen(protocol_fd, "w");
    if (!protocol) ::close(protocol_fd);
    return protocol;
}

}  // namespace termiva::platform
