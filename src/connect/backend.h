// The one small interface every tab transport meets, so the data path treats all
// protocols alike. Implementations must allow one sender and one receiver at the same
// time, and close() from any thread must make a blocked recv() return.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace termiva {

// A failure whose text is shown to the user as it is ("Connection failed: {err}").
class BackendError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Backend {
public:
    virtual ~Backend() = default;

    // Opens the connection (or starts the child); blocks until usable. Throws BackendError.
    virtual void connect() = 0;
    // Writes all bytes to the peer. Throws BackendError when the stream is gone.
    virtual void send(std::string_view data) = 0;
    // Blocks until at least one byte is available; returns at most `bufsize` bytes, or ""
    // once the stream has ended or close() was called.
    virtual std::string recv(std::size_t bufsize) = 0;
    // True once the stream has ended or close() was called.
    virtual bool is_closed() const = 0;
    // Tells the peer the terminal's new size. Transports without a size ignore it.
    virtual void resize(int rows, int cols) = 0;
    // Whether the peer learns the terminal's size at all (a raw socket or a serial line
    // does not: the page is told its size change went nowhere).
    virtual bool takes_size() const { return true; }
    // Ends the connection; safe to call twice and from any thread.
    virtual void close() = 0;
};

// The owner of an SSH-2 connection whose shell channel is the tab's backend.
class SshClient {
public:
    virtual ~SshClient() = default;
    virtual void close() = 0;
    // Interval of the transport's keep-alive; applied to a live connection.
    virtual void set_keepalive(int seconds) = 0;
};

}  // namespace termiva
