#include "platform/icmp_echo.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

namespace termiva::platform {
namespace {

constexpr std::uint8_t ECHO_REQUEST_V4 = 8;
constexpr std::uint8_t ECHO_REPLY_V4 = 0;
constexpr std::uint8_t ECHO_REQUEST_V6 = 128;
constexpr std::uint8_t ECHO_REPLY_V6 = 129;
constexpr char PAYLOAD[] = "termiva reachability";

struct AddrInfoFree {
    void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::uint16_t next_sequence() {
    static std::atomic<std::uint16_t> sequence{1};
    return sequence++;
}

}  // namespace

EchoAnswer icmp_echo(const std::string& host, IpFamily family, int timeout_ms,
                     const SocketWake& wake) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &raw) != 0)
        return EchoAnswer::silent;
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool opened_any = false;
    bool any_of_family = false;
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        const bool v4 = a->ai_family == AF_INET;
        if (!ip_family_allows(family, !v4)) continue;
        any_of_family = true;
        const int protocol = v4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
        Fd s{::socket(a->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol)};
        // Refused (EACCES outside ping_group_range) or not built into this kernel.
        if (s.fd < 0) continue;
        opened_any = true;
        // Type, code, checksum, identifier, sequence, payload: the kernel fills in the
        // checksum and the identifier (the socket's own), and hands this socket only the
        // replies that carry it.
        unsigned char packet[8 + sizeof PAYLOAD] = {};
        packet[0] = v4 ? ECHO_REQUEST_V4 : ECHO_REQUEST_V6;
        const std::uint16_t sequence = next_sequence();
        packet[6] = static_cast<unsigned char>(sequence >> 8);
        packet[7] = static_cast<unsigned char>(sequence & 0xff);
        std::memcpy(packet + 8, PAYLOAD, sizeof PAYLOAD);
        if (::sendto(s.fd, packet, sizeof packet, 0, a->ai_addr, a->ai_addrlen) < 0) continue;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return EchoAnswer::silent;
            const SocketReady ready =
                wait_socket(s.fd, SocketWant::read, wake, static_cast<int>(left));
            if (ready.woken) return EchoAnswer::silent;
            if (!ready.ready) return EchoAnswer::silent;
            unsigned char reply[512];
            const ssize_t n = ::recv(s.fd, reply, sizeof reply, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (n < 8) break;  // an error queued for the socket: try the next address
            const bool is_reply = reply[0] == (v4 ? ECHO_REPLY_V4 : ECHO_REPLY_V6) &&
                                  reply[6] == packet[6] && reply[7] == packet[7];
            if (is_reply) return EchoAnswer::answered;
        }
    }
    // A host without an address of the family its tab would use is not there for that tab.
    return opened_any || !any_of_family ? EchoAnswer::silent : EchoAnswer::unavailable;
}

}  // namespace termiva::platform
