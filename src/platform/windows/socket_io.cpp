// Winsock. select() rather than WSAPoll (which older Windows never told of a refused
// connect), and rather than WSAEventSelect, which allows one event per socket: the reader and
// a writer of one socket wait at the same time.
#include "platform/socket_io.h"

// winsock2.h before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>

#include "platform/windows/win_error.h"

namespace termiva::platform {

namespace {

using Clock = std::chrono::steady_clock;

void start_winsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw SocketError("Winsock did not start");
    });
}

std::string wsa_text(int code) {
    if (code == WSAETIMEDOUT) return "timed out";
    std::string text = windows::message_of(static_cast<unsigned long>(code));
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

SOCKET as_socket(SocketFd fd) {
    return static_cast<SOCKET>(fd);
}

// Not inherited by the programs the application starts.
SOCKET new_socket(int family, int type, int protocol) {
    return WSASocketW(family, type, protocol, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool set_non_blocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
}

struct AddrInfoFree {
    void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// A connected pair over the IPv4 loopback: Windows has no socketpair() and select() waits on
// sockets only. A stranger who connects to the short-lived listener first is turned away by
// comparing addresses.
void loopback_pair(SOCKET& read_end, SOCKET& write_end) {
    SOCKET listener = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) throw SocketError("socket: " + wsa_text(WSAGetLastError()));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
    int failure = 0;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        failure = WSAGetLastError();
    } else if ((client = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) == INVALID_SOCKET ||
               ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        failure = WSAGetLastError();
    } else {
        sockaddr_in mine{};
        int mine_len = sizeof mine;
        ::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &mine_len);
        // Ours is in the backlog already, so accept() returns it after at most a few others.
        for (int tries = 0; tries < 8 && server == INVALID_SOCKET; ++tries) {
            sockaddr_in peer{};
            int peer_len = sizeof peer;
            SOCKET s = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len);
            if (s == INVALID_SOCKET) {
                failure = WSAGetLastError();
                break;
            }
            if (same_address(peer, mine))
                server = s;
            else
                ::closesocket(s);
        }
        if (server == INVALID_SOCKET && failure == 0) failure = WSAECONNREFUSED;
    }
    ::closesocket(listener);
    if (server == INVALID_SOCKET || !set_non_blocking(server) || !set_non_blocking(client)) {
        if (failure == 0) failure = WSAGetLastError();
        if (client != INVALID_SOCKET) ::closesocket(client);
        if (server != INVALID_SOCKET) ::closesocket(server);
        throw SocketError("wake-up socket pair: " + wsa_text(failure));
    }
    read_end = server;
    write_end = client;
}

}  // namespace

SocketWake::SocketWake() {
    start_winsock();
    SOCKET r = INVALID_SOCKET;
    SOCKET w = INVALID_SOCKET;
    loopback_pair(r, w);
    m_read = static_cast<SocketFd>(r);
    m_write = static_cast<SocketFd>(w);
}

SocketWake::~SocketWake() {
    ::closesocket(as_socket(m_read));
    ::closesocket(as_socket(m_write));
}

void SocketWake::signal() {
    // Never read: one byte keeps the read end readable for good. When the pair's buffer is
    // full (signalled thousands of times) the send fails harmlessly.
    const char one = 1;
    ::send(as_socket(m_write), &one, 1, 0);
}

void SocketWake::clear() {
    char drained[256];
    while (::recv(as_socket(m_read), drained, sizeof drained, 0) > 0) {
    }
}

bool SocketWake::signalled() const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(as_socket(m_read), &readable);
    timeval now{0, 0};
    return ::select(0, &readable, nullptr, nullptr, &now) > 0;
}

SocketReady wait_socket(SocketFd fd, SocketWant want, const SocketWake& wake, int timeout_ms,
                        const SocketWake* also) {
    const SOCKET s = as_socket(fd);
    fd_set readable;
    fd_set writable;
    fd_set exceptional;  // a failed connect, or out-of-band data
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&exceptional);
    FD_SET(as_socket(wake.fd()), &readable);
    if (also) FD_SET(as_socket(also->fd()), &readable);
    if (want == SocketWant::write)
        FD_SET(s, &writable);
    else
        FD_SET(s, &readable);
    // Readable covers a closed or failed connection; the exception set adds a failed connect
    // to a write wait and out-of-band data to an urgent one.
    if (want != SocketWant::read) FD_SET(s, &exceptional);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    SocketReady seen;
    const int r =
        ::select(0, &readable, &writable, &exceptional, timeout_ms < 0 ? nullptr : &limit);
    if (r == SOCKET_ERROR) {
        seen.woken = true;
        return seen;
    }
    seen.woken = FD_ISSET(as_socket(wake.fd()), &readable) != 0 ||
                 (also && FD_ISSET(as_socket(also->fd()), &readable) != 0);
    if (r == 0) return seen;
    const bool exception = FD_ISSET(s, &exceptional) != 0;
    if (want == SocketWant::read_or_urgent) {
        seen.urgent = exception;
        seen.ready = FD_ISSET(s, &readable) != 0;
    } else {
        seen.ready = FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || exception;
    }
    return seen;
}

SocketFd connect_tcp(const std::string& host, int port, IpFamily family, double timeout_s,
                     const SocketWake& wake,
                     const std::function<void(SocketFd fd, int family)>& prepare) {
    if (port <= 0 || port > 65535) throw SocketError("invalid port " + std::to_string(port));
    start_winsock();
    // Resolved for every family, so that a name with addresses of the other version only
    // can be told apart from a name that does not resolve at all.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    const int gai =
        ::getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &raw);
    if (gai != 0) throw SocketError(wsa_text(gai));
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);

    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(timeout_s * 1000));
    std::string last_error = "no address";
    bool any_of_family = false;
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        if (!ip_family_allows(family, a->ai_family == AF_INET6)) continue;
        any_of_family = true;
        const SOCKET s = new_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            last_error = wsa_text(WSAGetLastError());
            continue;
        }
        const auto fd = static_cast<SocketFd>(s);
        if (prepare) {
            try {
                prepare(fd, a->ai_family);
            } catch (...) {
                ::closesocket(s);
                throw;
            }
        }
        int err = 0;
        if (!set_non_blocking(s)) {
            err = WSAGetLastError();
        } else if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            err = WSAGetLastError();
            if (err == WSAEWOULDBLOCK) {
                const SocketReady w =
                    wait_socket(fd, SocketWant::write, wake, remaining_ms(deadline));
                if (w.woken) {
                    ::closesocket(s);
                    throw SocketError("cancelled");
                }
                err = WSAETIMEDOUT;
                if (w.ready) {
                    int so_error = 0;
                    int len = sizeof so_error;
                    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
                    err = so_error;
                    // A failed connect shows in the exception set, its SO_ERROR sometimes 0.
                    if (err == 0) {
                        fd_set failed;
                        FD_ZERO(&failed);
                        FD_SET(s, &failed);
                        timeval now{0, 0};
                        if (::select(0, nullptr, nullptr, &failed, &now) > 0) err = WSAECONNREFUSED;
                    }
                }
            }
        }
        if (err == 0) {
            const BOOL on = TRUE;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on);
            return fd;
        }
        last_error = wsa_text(err);
        ::closesocket(s);
    }
    if (!any_of_family) throw NoAddressOfFamily(host.empty() ? "localhost" : host, family);
    throw SocketError(last_error);
}

bool bind_reserved_port(SocketFd fd, int family) {
    for (int port = 1023; port >= 512; --port) {
        int rc;
        if (family == AF_INET6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_any;
            a.sin6_port = htons(static_cast<u_short>(port));
            rc = ::bind(as_socket(fd), reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else if (family == AF_INET) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<u_short>(port));
            rc = ::bind(as_socket(fd), reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            return false;
        }
        if (rc == 0) return true;
        if (WSAGetLastError() != WSAEADDRINUSE) return false;
    }
    return false;
}

SocketIo recv_some(SocketFd fd, char* buffer, std::size_t size, bool urgent) {
    // recv takes an int length.
    const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int n = ::recv(as_socket(fd), buffer, want, urgent ? MSG_OOB : 0);
    if (n > 0) return {SocketIo::done, static_cast<std::size_t>(n), {}};
    if (n == 0) return {SocketIo::ended, 0, {}};
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return {SocketIo::would_block, 0, {}};
    return {SocketIo::failed, 0, wsa_text(err)};
}

SocketIo send_some(SocketFd fd, const char* data, std::size_t size) {
    const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int n = ::send(as_socket(fd), data, want, 0);
    if (n > 0) return {SocketIo::done, static_cast<std::size_t>(n), {}};
    if (n == 0) return {SocketIo::ended, 0, "connection closed"};
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return {SocketIo::would_block, 0, {}};
    return {SocketIo::failed, 0, wsa_text(err)};
}

SocketFd listen_loopback(int port) {
    if (port < 0 || port > 65535) throw SocketError("invalid port " + std::to_string(port));
    start_winsock();
    const SOCKET s = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw SocketError("socket: " + wsa_text(WSAGetLastError()));
    // SO_REUSEADDR on Windows would let another program bind the same port and take
    // connections meant for us; exclusive use is the safe choice.
    const BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0 ||
        !set_non_blocking(s)) {
        const int err = WSAGetLastError();
        ::closesocket(s);
        throw SocketError("127.0.0.1:" + std::to_string(port) + ": " + wsa_text(err));
    }
    return static_cast<SocketFd>(s);
}

SocketFd listen_on(const std::string& address, int port) {
    if (address.empty()) return listen_loopback(port);
    if (port < 0 || port > 65535) throw SocketError("invalid port " + std::to_string(port));
    start_winsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    const std::string label = address + ":" + service;
    const int gai =
        ::getaddrinfo(address == "*" ? nullptr : address.c_str(), service.c_str(), &hints, &raw);
    if (gai != 0) throw SocketError(label + ": " + wsa_text(gai));
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    std::string last_error = "no address";
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        const SOCKET s = new_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            last_error = wsa_text(WSAGetLastError());
            continue;
        }
        // As listen_loopback: no other program may bind beside us and take our connections.
        const BOOL on = TRUE;
        ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                     sizeof on);
        if (::bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 && ::listen(s, 16) == 0 &&
            set_non_blocking(s)) {
            return static_cast<SocketFd>(s);
        }
        last_error = wsa_text(WSAGetLastError());
        ::closesocket(s);
    }
    throw SocketError(label + ": " + last_error);
}

std::pair<SocketFd, SocketFd> connected_pair() {
    start_winsock();
    SOCKET first = INVALID_SOCKET;
    SOCKET second = INVALID_SOCKET;
    loopback_pair(first, second);
    return {static_cast<SocketFd>(first), static_cast<SocketFd>(second)};
}

SocketFd accept_socket(SocketFd listener) {
    const SOCKET s = ::accept(as_socket(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return NO_SOCKET;
    // An accepted socket inherits the listener's flags, but not its handle's inheritance
    // setting in every Windows version: both are set here.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (!set_non_blocking(s)) {
        ::closesocket(s);
        return NO_SOCKET;
    }
    return static_cast<SocketFd>(s);
}

int local_port(SocketFd fd) {
    sockaddr_storage addr{};
    int len = sizeof addr;
    if (::getsockname(as_socket(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return 0;
}

std::pair<std::string, int> peer_address(SocketFd fd) {
    sockaddr_storage addr{};
    int len = sizeof addr;
    if (::getpeername(as_socket(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {"", 0};
    char host[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return {host, ntohs(in->sin_port)};
    }
    if (addr.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return {host, ntohs(in6->sin6_port)};
    }
    return {"", 0};
}

short poll_readable_event() {
    return POLLIN;
}

void shutdown_socket(SocketFd fd) {
    ::shutdown(as_socket(fd), SD_BOTH);
}

void close_socket(SocketFd fd) {
    ::closesocket(as_socket(fd));
}

}  // namespace termiva::platform
