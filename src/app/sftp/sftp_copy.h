// Copies files and folder trees between this computer and an SFTP server, reporting each
// file through a transfer context (the transfer panel's events).
//
// The server is not trusted with the disk: a remote name becomes a plain safe base name in
// the chosen folder (never a path out of it), and neither side's existing files are
// overwritten: a numbered name is taken instead, as a ZMODEM receive does. Received files
// are written under a temporary name and named only when complete. Trees are bounded in
// depth and entries, and links inside them are not followed (a link may lead out of the
// tree or round in a circle).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "connect/ssh2/sftp_session.h"
#include "transfer/transfer_context.h"

namespace termiva {

class SftpCopy {
public:
    static constexpr int MAX_DEPTH = 32;
    static constexpr std::size_t MAX_ENTRIES = 100'000;
    // How long the server may leave every request unanswered before the copy fails.
    static constexpr std::chrono::seconds SERVER_SILENCE{30};

    // `encoding`: the session's, in which the server's names are written. Cancellation
    // is the context's (TransferCancelled from any step).
    SftpCopy(SftpSession& sftp, std::string encoding, xfer::TransferContext& ctx)
        : m_sftp(sftp), m_encoding(std::move(encoding)), m_ctx(ctx) {}

    // The remote file or folder `remote` (server bytes) into `local_dir`. Throws
    // TransferFailed, TransferCancelled or SftpError.
    void download(const std::string& remote, const std::filesystem::path& local_dir);
    // The local file or folder `local` into the remote folder `remote_dir` (server bytes).
    void upload(const std::filesystem::path& local, const std::string& remote_dir);

private:
    void download_dir(const std::string& remote, const std::string& name,
                      const std::filesystem::path& local_parent, int depth);
    void download_file(const std::string& remote, const std::string& name, std::uint64_t size,
                       const std::filesystem::path& local_dir);
    void upload_dir(const std::filesystem::path& local, const std::string& remote_parent,
                    int depth);
    void upload_file(const std::filesystem::path& local, const std::string& remote_dir);
    // A name in `remote_dir` nothing has yet: `name`, else "stem (n).ext".
    std::string free_remote_path(const std::string& remote_dir, const std::string& name);
    // Counts one more entry of the tree; throws past MAX_ENTRIES.
    void count_entry(const std::string& where);
    [[noreturn]] static void too_large(const std::string& where);
    // Waits for the server while it has something to answer; throws after SERVER_SILENCE.
    template <class Stream>
    void await(Stream& stream, std::chrono::steady_clock::duration& silent);

    SftpSession& m_sftp;
    std::string m_encoding;
    xfer::TransferContext& m_ctx;
    std::size_t m_entries = 0;
};

}  // namespace termiva
