// Raw TCP: bytes both ways, nothing else. Raw tabs ignore size changes.
#pragma once

#include <atomic>
#include <string>

#include "connect/backend.h"
#include "connect/fd_io.h"

namespace termiva {

class RawBackend : public Backend {
public:
    struct Options {
        std::string host;
        int port = 23;
        double timeout = 15;
        platform::IpFamily ip_family = platform::IpFamily::any;
    };

    explicit RawBackend(Options options);
    ~RawBackend() override;

    void connect() override;
    void send(std::string_view data) override;
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return m_closed.load(); }
    void resize(int, int) override {}
    bool takes_size() const override { return false; }
    void close() override;

private:
    Options m_options;
    WakeFd m_wake;
    std::atomic<SocketFd> m_fd{NO_SOCKET};
    std::atomic<bool> m_closed{false};
};

}  // namespace termiva
