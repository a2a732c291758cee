// The files of an SSH-2 connection's server over SFTP, on a channel of the connection the
// tab already has (no second login). Every request runs on the connection's I/O thread,
// one at a time between the terminal's own traffic; a server that stops answering holds a
// request no longer than the connection's time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connect/backend.h"

struct sftp_session_struct;

namespace termiva {

namespace ssh2 {
class ConnectionCore;
}

// A request the server refused or could not carry out: `code` names why ("no_such_file",
// "permission_denied", "exists", "not_empty", "no_sftp", "failure", "too_many" ...).
class SftpError : public BackendError {
public:
    SftpError(std::string code, const std::string& detail)
        : BackendError(detail), m_code(std::move(code)) {}
    const std::string& code() const { return m_code; }

private:
    std::string m_code;
};

struct SftpEntry {
    std::string name;  // as the server sent it (bytes in the server's encoding)
    enum class Type { file, dir, link } type = Type::file;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;  // seconds since 1970
    std::uint32_t mode = 0;  // permission bits
};

class SftpSession {
public:
    // Entries one listing takes at most: a server may send an endless directory.
    static constexpr std::size_t MAX_ENTRIES = 100'000;

    // Opens the SFTP subsystem on a new channel. Throws SftpError("no_sftp") when the
    // server has none, BackendError when the connection has ended.
    explicit SftpSession(std::shared_ptr<ssh2::ConnectionCore> core);
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    // The server's absolute form of `path` ("." is the login's home folder).
    std::string canonical(const std::string& path);
    // The entries of a folder, "." and ".." left out. Throws SftpError("too_many") past
    // MAX_ENTRIES.
    std::vector<SftpEntry> list(const std::string& path);
    void make_dir(const std::string& path);
    void rename(const std::string& from, const std::string& to);
    // A file, a link, or an empty folder.
    void remove(const std::string& path);
    // What `path` itself is (a link is not followed), or what it leads to (`follow`).
    // The entry's name is empty.
    SftpEntry attributes(const std::string& path, bool follow);

private:
    friend class SftpStream;
    struct Handle {
        sftp_session_struct* sftp = nullptr;
        int releaser = 0;  // the connection's, freeing `sftp` if the connection ends first
    };
    // Throws the SftpError for the session's last failure, `what` naming the request.
    [[noreturn]] void fail(const std::string& what) const;

    std::shared_ptr<ssh2::ConnectionCore> m_core;
    std::shared_ptr<Handle> m_sftp;
};

}  // namespace termiva
