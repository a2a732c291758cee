#include "sixbitline/sixbitline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <utility>

#include "location_text.h"
#include "sixbitline/terminal_description.h"
#include "tcp_connection.h"

namespace termiva {

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 15.0;
constexpr double MAX_TIMEOUT_SECONDS = 24.0 * 3600.0;
// More than one read's worth is never useful and a silly size must not exhaust memory.
constexpr std::size_t MAX_READ = 65536;
constexpr unsigned char ESCAPE_BYTE = 034;
constexpr unsigned char SEVEN_BIT_MASK = 0x7F;

std::string known_charset(const std::string& name) {
    if (name == SupdupProtocol::CHARSET_ITS || name == SupdupProtocol::CHARSET_WAITS) {
        return name;
    }
    return std::string(SupdupProtocol::CHARSET_ASCII);
}

double usable_timeout(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) {
        return DEFAULT_TIMEOUT_SECONDS;
    }
    return std::min(seconds, MAX_TIMEOUT_SECONDS);
}

}  // namespace

Sixbitline::Sixbitline(SixbitlineOptions options)
    : m_host(std::move(options.host)),
      m_port(options.port == 0 ? DEFAULT_PORT : options.port),
      m_term_width(options.term_width),
      m_term_height(options.term_height),
      m_charset(known_charset(options.charset)),
      m_more_processing(options.more_processing),
      m_scrolling(options.scrolling),
      m_location(location_to_ascii(options.location)),
      _timeout(usable_timeout(options.timeout)),
      m_family(options.family),
      m_decoder(m_charset, m_location) {}

Sixbitline::~Sixbitline() {
    close();
    if (m_writer.joinable()) m_writer.join();
}

void Sixbitline::connect() {
    try {
        {
            std::lock_guard<std::mutex> guard(m_sock_mutex);
            if (_closed) {
                throw SixbitlineError("Connection closed");
            }
            if (_sock) {
                throw SixbitlineError("Already connected");
            }
        }
        auto sock = std::make_shared<TcpConnection>(
            TcpConnection::open(m_host, m_port, _timeout, m_family));
        _send_initial_config(*sock);
        std::lock_guard<std::mutex> guard(m_sock_mutex);
        if (_closed) {
            throw SixbitlineError("Connection closed");
        }
        if (_sock) {
            throw SixbitlineError("Already connected");
        }
        _sock = sock;
        m_writer = std::thread([this, sock] { write_queued(sock); });
    } catch (const SixbitlineError&) {
        throw;
    } catch (const std::exception& e) {
        throw SixbitlineError(e.what());
    }
}

void Sixbitline::_send_36bit(TcpConnection& sock, Word word) {
    const int err = sock.write_all(encode_36bit_word(word));
    if (err != 0) {
        throw SixbitlineError(TcpConnection::error_text(err));
    }
}

SupdupProtocol::Word Sixbitline::_build_ttyopt() const {
    return build_ttyopt(m_charset, m_scrolling, m_more_processing);
}

void Sixbitline::_send_initial_config(TcpConnection& sock) {
    const auto words = terminal_description_words(m_charset, m_scrolling, m_more_processing,
                                                  m_term_height.load(), m_term_width.load());
    for (Word word : words) {
        _send_36bit(sock, word);
    }
}

void Sixbitline::send(std::string_view data) noexcept {
    if (data.empty() || _closed) {
        return;
    }
    try {
        std::string wire;
        wire.reserve(data.size() * 2);
        for (char ch : data) {
            // Reduce first: a high byte whose low bits are the escape byte must be
            // doubled too, or the server would take it as the start of an escape.
            const auto byte =
                static_cast<unsigned char>(static_cast<unsigned char>(ch) & SEVEN_BIT_MASK);
            wire += static_cast<char>(byte);
            if (byte == ESCAPE_BYTE) {
                wire += static_cast<char>(byte);
            }
        }
        _sock_send(wire, MAX_QUEUED_INPUT);
    } catch (const std::exception& e) {
        std::cerr << "[supdup] send failed: " << e.what() << std::endl;
    }
}

std::string Sixbitline::recv(std::size_t bufsize) noexcept {
    try {
        std::string buffer(std::clamp<std::size_t>(bufsize, 1, MAX_READ), '\0');
        for (;;) {
            if (_closed) {
                return {};
            }
            const std::shared_ptr<TcpConnection> sock = current_socket();
            if (!sock) {
                return {};
            }
            const std::ptrdiff_t n = sock->read_some(buffer.data(), buffer.size());
            if (n <= 0) {
                _closed = true;
                return {};
            }
            DecodedChunk chunk =
                m_decoder.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            for (const ServerReply& reply : chunk.replies) {
                _sock_send(reply.bytes);
            }
            // A chunk that only moved the decoder along (TDNOP, half a command) is not the
            // end of the stream: keep reading, since "" means the connection is gone.
            if (!chunk.output.empty()) {
                return std::move(chunk.output);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "[supdup] recv failed: " << e.what() << std::endl;
        close();
        return {};
    }
}

void Sixbitline::_sock_send(std::string_view data, std::size_t limit) noexcept {
    if (data.empty() || _closed || !current_socket()) {
        return;
    }
    try {
        std::unique_lock<std::mutex> guard(_lock);
        m_drained.wait(guard, [&] { return _closed || m_queue.size() < limit; });
        if (_closed) {
            return;
        }
        m_queue.append(data);
        m_queued.notify_one();
    } catch (const std::exception& e) {
        std::cerr << "[supdup] write not queued: " << e.what() << std::endl;
    }
}

void Sixbitline::write_queued(std::shared_ptr<TcpConnection> sock) noexcept {
    std::string out;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(_lock);
            m_queued.wait(guard, [this] { return _closed || !m_queue.empty(); });
            if (_closed) {
                return;
            }
            out.swap(m_queue);
            m_queue.clear();
            m_drained.notify_all();
        }
        if (sock->write_all(out) != 0) {
            _closed = true;
            // The reader may be blocked on this socket; make it see the end now.
            sock->shutdown_both();
            std::lock_guard<std::mutex> guard(_lock);
            m_drained.notify_all();
            return;
        }
    }
}

void Sixbitline::resize(int rows, int cols) noexcept {
    m_term_height = rows;
    m_term_width = cols;
}

void Sixbitline::close() noexcept {
    {
        // Under the queue's lock, so a writer or a waiting sender cannot miss it.
        std::lock_guard<std::mutex> guard(_lock);
        _closed = true;
        m_queued.notify_all();
        m_drained.notify_all();
    }
    std::shared_ptr<TcpConnection> sock;
    {
        std::lock_guard<std::mutex> guard(m_sock_mutex);
        sock = std::move(_sock);
    }
    // Shutting down wakes a reader or writer blocked on the socket; the descriptor itself
    // is released when the last of them lets go of its reference.
    if (sock) {
        sock->shutdown_both();
    }
}

std::shared_ptr<TcpConnection> Sixbitline::current_socket() const {
    std::lock_guard<std::mutex> guard(m_sock_mutex);
    return _sock;
}

}  // namespace termiva
