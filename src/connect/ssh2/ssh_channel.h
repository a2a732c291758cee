// A channel of an SSH-2 connection as other threads see it. libssh sessions are not
// thread-safe, so the connection's I/O thread alone touches the libssh channel; this
// façade holds the bytes in both directions and the requests (size change, close) until
// the I/O thread carries them out. Safe for one sender and one receiver at a time, and
// close() from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "connect/backend.h"
#include "platform/socket_io.h"

namespace termiva::ssh2 {
class IoWaker;
}

namespace termiva {

class SshChannel : public Backend {
public:
    explicit SshChannel(std::shared_ptr<ssh2::IoWaker> waker);
    ~SshChannel() override;
    SshChannel(const SshChannel&) = delete;
    SshChannel& operator=(const SshChannel&) = delete;

    // The connection opens the channel; nothing to do here.
    void connect() override {}
    // Queues bytes for the peer; blocks while much is still unsent. Throws BackendError
    // once the channel has ended.
    void send(std::string_view data) override;
    // Blocks until bytes arrive; "" once the peer ended the channel or close() was called.
    std::string recv(std::size_t bufsize) override;
    // True after close(), or once the peer's end was reached and every byte was read.
    bool is_closed() const override;
    bool closed() const { return is_closed(); }
    void resize(int rows, int cols) override;
    void resize_pty(int width, int height) { resize(height, width); }
    void close() override;
    // Readable whenever recv() would not block (for waits together with sockets).
    platform::SocketFd readable_fd() const { return m_ready.fd(); }
    // The same mark as a wake-up for platform::wait_socket.
    const platform::SocketWake& ready() const { return m_ready; }
    // Why the channel ended, when it was not a plain end of stream.
    std::string failure() const;

    // ---- the I/O thread's side ----
    std::string take_outbound(std::size_t max);
    bool has_outbound() const;
    std::size_t inbound_room() const;
    void deliver(std::string_view data);
    // The peer ended the channel, or the connection is gone (`reason` non-empty).
    void end_of_stream(const std::string& reason = {});
    std::optional<std::pair<int, int>> take_resize();  // (rows, cols)
    bool close_requested() const;

    static constexpr std::size_t INBOUND_LIMIT = 1 << 20;
    static constexpr std::size_t OUTBOUND_LIMIT = 1 << 20;

private:
    void update_ready_locked();

    std::shared_ptr<ssh2::IoWaker> m_waker;
    platform::SocketWake m_ready;
    bool m_ready_signalled = false;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::string m_in;
    std::size_t m_in_pos = 0;
    std::string m_out;
    bool m_ended = false;
    std::string m_failure;
    bool m_close_requested = false;
    std::optional<std::pair<int, int>> m_resize;
};

}  // namespace termiva
