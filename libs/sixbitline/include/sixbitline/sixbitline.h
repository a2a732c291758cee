// SUPDUP client (RFC 734) for one terminal tab: sends the terminal description, passes
// the plain text of the server's greeting through, then turns the server's display codes into ANSI
// sequences and UTF-8 text; keystrokes go the other way as 7-bit bytes.
//
// Threads: one reader calls recv(); any thread may call send(), resize(), close() and
// is_closed() at the same time. close() makes a recv() blocked in another thread return.
// Once connected, one writer thread of its own sends what keystrokes and replies queued, in
// their order: the reader never waits on a server that does not read, until the replies it
// queued reach MAX_QUEUED; then it reads nothing more until they are sent or the connection
// closes, so such a server cannot fill memory with them. Keystrokes are the user's, not the
// server's: they wait only past MAX_QUEUED_INPUT, so typing is answered meanwhile.
//
// Errors: only connect() throws, and only SixbitlineError, whose what() is a short text
// fit to show the user. No other operation throws; read and write failures mark the
// connection closed instead, after which recv() returns "".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "sixbitline/display_decoder.h"
#include "sixbitline/export.h"
#include "sixbitline/protocol.h"

namespace termiva {

// Why connect() failed, e.g. "Connection refused" or "Connection timed out".
class SIXBITLINE_API SixbitlineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Constructor arguments of Sixbitline, by the names the starter passes them.
// Which of the host's addresses a connection may use.
enum class SixbitlineFamily { any, ipv4, ipv6 };

struct SixbitlineOptions {
    std::string host;
    int port = SupdupProtocol::DEFAULT_PORT;  // 0 means the default port
    int term_width = 80;
    int term_height = 24;
    std::string charset{SupdupProtocol::CHARSET_ASCII};  // "ascii", "its" or "waits"
    bool more_processing = false;                        // ask the server for page pauses
    bool scrolling = true;                               // ask the server to scroll
    std::string location = "Termiva";  // UTF-8; non-ASCII characters travel as "?"
    double timeout = 15.0;             // seconds allowed for the TCP connect
    SixbitlineFamily family = SixbitlineFamily::any;
};

class TcpConnection;

class SIXBITLINE_API Sixbitline : public SupdupProtocol {
public:
    // Bytes waiting for the writer beyond which the reader waits before it queues a reply,
    // and a keystroke before it is queued (then whole).
    static constexpr std::size_t MAX_QUEUED = std::size_t{64} << 10;
    static constexpr std::size_t MAX_QUEUED_INPUT = std::size_t{4} << 20;

    // Records the settings; performs no I/O and never fails.
    explicit Sixbitline(SixbitlineOptions options);
    ~Sixbitline();
    Sixbitline(const Sixbitline&) = delete;
    Sixbitline& operator=(const Sixbitline&) = delete;

    // Opens the TCP connection within the timeout and sends the terminal description.
    // Throws SixbitlineError (text for the user) when that fails, when already connected,
    // or after close().
    void connect();

    // Sends keystrokes. 7-bit bytes; the protocol's escape byte 034 is doubled. Does
    // nothing when closed, not connected or for empty data. Returns once they are queued
    // for the writer (waiting while MAX_QUEUED_INPUT bytes are, until they go or it closes).
    void send(std::string_view data) noexcept;

    // Blocks until at least one translated byte is ready and returns it; reads at most
    // `bufsize` bytes from the server (the translation may be longer). Returns "" only once
    // the connection has ended or close() ran.
    std::string recv(std::size_t bufsize = 4096) noexcept;

    // True once the connection has ended or close() ran.
    bool is_closed() const noexcept { return _closed.load(); }

    // Records the size for a later terminal description; SUPDUP has no in-band resize.
    void resize(int rows, int cols) noexcept;

    // Ends the connection and wakes a blocked recv(); safe to call again.
    void close() noexcept;

    const std::string& host() const { return m_host; }
    int port() const { return m_port; }
    int term_width() const { return m_term_width.load(); }
    int term_height() const { return m_term_height.load(); }
    const std::string& charset() const { return m_charset; }
    bool more_processing() const { return m_more_processing; }
    bool scrolling() const { return m_scrolling; }
    // The location as it goes on the wire: ASCII only.
    const std::string& location() const { return m_location; }
    double timeout() const { return _timeout; }
    SixbitlineFamily family() const { return m_family; }

private:
    void _send_36bit(TcpConnection& sock, Word word);
    Word _build_ttyopt() const;
    void _send_initial_config(TcpConnection& sock);
    // Queues bytes for the writer thread, waiting while `limit` are queued already.
    void _sock_send(std::string_view data, std::size_t limit = MAX_QUEUED) noexcept;
    void write_queued(std::shared_ptr<TcpConnection> sock) noexcept;
    std::shared_ptr<TcpConnection> current_socket() const;

    std::string m_host;
    int m_port;
    std::atomic<int> m_term_width;
    std::atomic<int> m_term_height;
    std::string m_charset;
    bool m_more_processing;
    bool m_scrolling;
    std::string m_location;
    double _timeout;
    SixbitlineFamily m_family;

    // Readers and writers hold their own reference, so close() can drop the socket while
    // they are inside a call: the descriptor is released when the last of them leaves.
    mutable std::mutex m_sock_mutex;
    std::shared_ptr<TcpConnection> _sock;
    std::atomic<bool> _closed{false};
    // The writer's queue: every write goes through it, so bytes of different writers never
    // interleave and keep the order they were queued in.
    std::mutex _lock;
    std::condition_variable m_queued;   // bytes arrived, or closed
    std::condition_variable m_drained;  // the writer took the queue, or closed
    std::string m_queue;
    std::thread m_writer;

    // Touched by the reader thread only.
    SupdupDisplayDecoder m_decoder;
};

}  // namespace termiva
