// One remote file moved over SFTP with many requests in flight: reads ask ahead of what
// has arrived, writes go out ahead of the server's acknowledgements, so a transfer is not
// one round trip per block. Every step is one short batch on the connection's I/O thread
// (take what has arrived, send what the channel's window lets through) and never waits
// for the server there: the terminal's traffic flows between steps. Waiting for the
// server happens on the caller's thread, in wait().
//
// While a stream is open it owns its session's channel: the session serves no other
// request until the stream is closed (a transfer opens a session of its own).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "connect/ssh2/sftp_session.h"

struct sftp_file_struct;

namespace termiva {

class SftpStream {
public:
    enum class Mode { read, create };
    // Opens `path` for reading, or makes it as a new file for writing; SftpError when the
    // server refuses (for `create`, also when something of that name exists).
    SftpStream(SftpSession& session, const std::string& path, Mode mode);
    ~SftpStream();
    SftpStream(const SftpStream&) = delete;
    SftpStream& operator=(const SftpStream&) = delete;

    // Reading: the file's next bytes in order, none when nothing new has arrived. Throws
    // SftpError when the server refuses a read or breaks the protocol.
    std::string read();
    // Reading: the whole file has been handed out.
    bool at_end() const { return m_at_end; }

    // Writing: sends what the window and the in-flight limit allow of `data` and returns
    // how many bytes were taken; takes the acknowledgements that have arrived (throws
    // SftpError for a refused write).
    std::size_t write(std::string_view data);
    // Every request sent has been answered.
    bool settled() const { return m_in_flight.empty(); }
    // Closes the remote file once settled (a refusal to close throws). A stream dropped
    // while requests are unanswered leaves the file to its session's end.
    void close();

    // Blocks the calling thread (never the I/O thread) until the server has sent
    // something or `limit` has passed; false on time-out.
    bool wait(std::chrono::milliseconds limit);

    // Bytes of data one request carries, and how many requests may be unanswered.
    static constexpr std::uint32_t BLOCK = 64 * 1024;
    static constexpr std::size_t IN_FLIGHT = 32;

private:
    struct Signal;
    struct Request {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
    };
    struct Reply {
        int type = 0;
        std::uint32_t status = 0;
        std::string data;  // DATA's bytes, or STATUS's message
    };
    // On the I/O thread: sends one request packet (`body` after type and id) and returns
    // its id, last in the order.
    std::uint32_t send_request(int type, const std::string& body, Request request);
    // On the I/O thread: moves what the channel holds into m_inbound and the complete
    // replies it holds into m_replies.
    void take_replies();
    // On the I/O thread: sends read requests up to the in-flight limit.
    void ask_ahead();
    [[noreturn]] void refused(const Reply& reply) const;

    SftpSession& m_session;
    std::string m_path;
    std::string m_handle;
    std::shared_ptr<Signal> m_signal;
    sftp_file_struct* m_file = nullptr;  // null once closed
    // Requests in the order sent (reads hand out data in this order), by id.
    std::deque<std::uint32_t> m_order;
    std::map<std::uint32_t, Request> m_in_flight;
    std::map<std::uint32_t, Reply> m_replies;
    std::string m_inbound;
    std::uint64_t m_next_offset = 0;
    bool m_end_seen = false;  // a read found the file's end: ask no further
    bool m_at_end = false;
};

}  // namespace termiva
