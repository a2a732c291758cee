#include "support/test_support.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <random>
#include <sstream>

namespace termiva::testing {

#ifdef _WIN32
// The Windows tests run under Wine and start no peer programs of their own.
std::optional<std::filesystem::path> find_program(const std::string&) {
    return std::nullopt;
}
#else
std::optional<std::filesystem::path> find_program(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        std::filesystem::path p = std::filesystem::path(dir) / name;
        if (::access(p.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(p)) return p;
    }
    return std::nullopt;
}
#endif

bool peers_required() {
    const char* v = std::getenv("TERMIVA_REQUIRE_PEERS");
    return v && std::string(v) == "1";
}

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("termiva-test-" + std::to_string(rd()) + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

#ifndef _WIN32
int listen_on_loopback(int backlog, int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::listen(fd, backlog) != 0) {
        if (fd >= 0) ::close(fd);
        port = 0;
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

int free_loopback_port() {
    int port = 0;
    int fd = listen_on_loopback(1, port);
    if (fd >= 0) ::close(fd);
    return port;
}
#endif

}  // namespace termiva::testing
