#include "app/sftp/sftp_copy.h"

#include <algorithm>
#include <fstream>

#include "app/sftp/server_text.h"
#include "connect/ssh2/sftp_stream.h"
#include "platform/log.h"
#include "platform/utf8_path.h"
#include "transfer/file_names.h"
#include "transfer/received_file.h"

namespace termiva {

namespace fs = std::filesystem;

namespace {

// How long one wait for the server lasts before cancellation is looked at again.
constexpr std::chrono::milliseconds WAIT_SLICE{100};
// Local file bytes read at once for an upload.
constexpr std::size_t READ_CHUNK = 1024 * 1024;
// Numbered names tried for an upload before giving up.
constexpr int MAX_NUMBER = 1000;

std::string last_component(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string numbered(const std::string& name, int n) {
    if (n == 0) return name;
    const std::size_t dot = name.find_last_of('.');
    const bool has_ext = dot != std::string::npos && dot > 0;
    const std::string stem = has_ext ? name.substr(0, dot) : name;
    const std::string ext = has_ext ? name.substr(dot) : std::string();
    return stem + " (" + std::to_string(n) + ")" + ext;
}

}  // namespace

void SftpCopy::too_large(const std::string& where) {
    throw xfer::TransferFailed("tree_too_large", {{"path", where},
                                                  {"entries", std::to_string(MAX_ENTRIES)},
                                                  {"depth", std::to_string(MAX_DEPTH)}});
}

void SftpCopy::count_entry(const std::string& where) {
    if (++m_entries > MAX_ENTRIES) too_large(where);
}

template <class Stream>
void SftpCopy::await(Stream& stream, std::chrono::steady_clock::duration& silent) {
    m_ctx.check_cancelled();
    if (stream.wait(WAIT_SLICE)) {
        silent = {};
        return;
    }
    silent += WAIT_SLICE;
    if (silent >= SERVER_SILENCE) {
        throw xfer::TransferFailed("server_silent",
                                   {{"seconds", std::to_string(SERVER_SILENCE.count())}});
    }
}

void SftpCopy::download(const std::string& remote, const fs::path& local_dir) {
    const std::string root = m_sftp.canonical(remote);
    // The item chosen is taken as what it leads to; links inside a folder are not.
    const SftpEntry top = m_sftp.attributes(root, true);
    const std::string name = sftp_text::from_server(m_encoding, last_component(root));
    if (top.type == SftpEntry::Type::dir) {
        download_dir(root, name, local_dir, 0);
    } else {
        download_file(root, name, top.size, local_dir);
    }
}

void SftpCopy::download_dir(const std::string& remote, const std::string& name,
                            const fs::path& local_parent, int depth) {
    m_ctx.check_cancelled();
    const std::string shown = sftp_text::from_server(m_encoding, remote);
    if (depth > MAX_DEPTH) too_large(shown);
    const fs::path local = xfer::numbered_free_path(local_parent, xfer::safe_base_name(name));
    std::error_code ec;
    fs::create_directories(local_parent, ec);
    if (!fs::create_directory(local, ec)) {
        throw xfer::TransferFailed("cannot_create", {{"folder", platform::path_to_utf8(local)},
                                                     {"err", ec ? ec.message() : "exists"}});
    }
    for (const SftpEntry& entry : m_sftp.list(remote)) {
        count_entry(shown);
        const std::string child = joined(remote, entry.name);
        const std::string child_name = sftp_text::from_server(m_encoding, entry.name);
        if (entry.type == SftpEntry::Type::dir) {
            download_dir(child, child_name, local, depth + 1);
        } else if (entry.type == SftpEntry::Type::file) {
            download_file(child, child_name, entry.size, local);
        } else {
            log::info("sftp",
                      "not following the link " + sftp_text::from_server(m_encoding, child));
        }
    }
}

void SftpCopy::download_file(const std::string& remote, const std::string& name, std::uint64_t size,
                             const fs::path& local_dir) {
    m_ctx.check_cancelled();
    const std::string safe = xfer::safe_base_name(name);
    m_ctx.begin_file(safe, size);
    xfer::ReceivedFile file(local_dir, safe, size, m_ctx.options());
    SftpStream stream(m_sftp, remote, SftpStream::Mode::read);
    std::uint64_t bytes = 0;
    std::chrono::steady_clock::duration silent{};
    while (!stream.at_end()) {
        m_ctx.check_cancelled();
        const std::string data = stream.read();
        if (data.empty()) {
            if (!stream.at_end()) await(stream, silent);
            continue;
        }
        silent = {};
        file.write(data);
        bytes += data.size();
        m_ctx.progress(bytes);
    }
    stream.close();
    m_ctx.file_done(platform::path_to_utf8(file.commit()));
}

void SftpCopy::upload(const fs::path& local, const std::string& remote_dir) {
    const std::string dir = m_sftp.canonical(remote_dir);
    std::error_code ec;
    // The item chosen is taken as what it leads to; links inside a folder are not.
    const fs::file_status status = fs::status(local, ec);
    if (fs::is_directory(status)) {
        upload_dir(local, dir, 0);
    } else if (fs::is_regular_file(status)) {
        upload_file(local, dir);
    } else {
        throw xfer::TransferFailed("cannot_open", {{"path", platform::path_to_utf8(local)}});
    }
}

std::string SftpCopy::free_remote_path(const std::string& remote_dir, const std::string& name) {
    for (int n = 0; n <= MAX_NUMBER; ++n) {
        const std::string candidate = joined(remote_dir, numbered(name, n));
        try {
            m_sftp.attributes(candidate, false);
        } catch (const SftpError& e) {
            if (e.code() == "no_such_file") return candidate;
            throw;
        }
    }
    throw xfer::TransferFailed("no_free_name",
                               {{"name", sftp_text::from_server(m_encoding, name)}});
}

void SftpCopy::upload_dir(const fs::path& local, const std::string& remote_parent, int depth) {
    m_ctx.check_cancelled();
    const std::string shown = platform::path_to_utf8(local);
    if (depth > MAX_DEPTH) too_large(shown);
    const std::string remote = free_remote_path(
        remote_parent, sftp_text::to_server(m_encoding, platform::path_to_utf8(local.filename())));
    m_sftp.make_dir(remote);
    std::error_code ec;
    fs::directory_iterator it(local, ec);
    if (ec) throw xfer::TransferFailed("cannot_open", {{"path", shown}});
    for (const fs::directory_entry& entry : it) {
        count_entry(shown);
        const fs::file_status status = entry.symlink_status(ec);
        if (fs::is_directory(status)) {
            upload_dir(entry.path(), remote, depth + 1);
        } else if (fs::is_regular_file(status)) {
            upload_file(entry.path(), remote);
        } else {
            log::info("sftp", "not sending " + platform::path_to_utf8(entry.path()));
        }
    }
}

void SftpCopy::upload_file(const fs::path& local, const std::string& remote_dir) {
    m_ctx.check_cancelled();
    const std::string shown = platform::path_to_utf8(local);
    std::ifstream in(local, std::ios::binary);
    std::error_code ec;
    const std::uint64_t size = fs::file_size(local, ec);
    if (!in || ec) throw xfer::TransferFailed("cannot_open", {{"path", shown}});
    const std::string name = platform::path_to_utf8(local.filename());
    m_ctx.begin_file(name, size);
    const std::string remote = free_remote_path(remote_dir, sftp_text::to_server(m_encoding, name));
    try {
        SftpStream stream(m_sftp, remote, SftpStream::Mode::create);
        std::string chunk(READ_CHUNK, '\0');
        std::uint64_t bytes = 0;
        std::chrono::steady_clock::duration silent{};
        for (;;) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const auto got = static_cast<std::size_t>(in.gcount());
            if (got == 0 && in.bad()) throw xfer::TransferFailed("read_failed", {{"name", name}});
            std::string_view pending(chunk.data(), got);
            while (!pending.empty()) {
                m_ctx.check_cancelled();
                const std::size_t taken = stream.write(pending);
                pending.remove_prefix(taken);
                bytes += taken;
                m_ctx.progress(bytes);
                if (taken == 0) await(stream, silent);
            }
            if (got < chunk.size()) break;
        }
        while (!stream.settled()) {
            stream.write({});
            if (!stream.settled()) await(stream, silent);
        }
        stream.close();
    } catch (...) {
        // What the server holds of a file that did not arrive whole is not left behind
        // under its name.
        try {
            m_sftp.remove(remote);
        } catch (const std::exception&) {
        }
        throw;
    }
    m_ctx.file_done(sftp_text::from_server(m_encoding, remote));
}

}  // namespace termiva
