#include "connect/ssh2/sftp_session.h"

#include <libssh/sftp.h>

#include "connect/ssh2/connection_core.h"

namespace termiva {

namespace {

std::string code_of(int sftp_error) {
    switch (sftp_error) {
        case SSH_FX_NO_SUCH_FILE:
        case SSH_FX_NO_SUCH_PATH:
            return "no_such_file";
        case SSH_FX_PERMISSION_DENIED:
            return "permission_denied";
        case SSH_FX_FILE_ALREADY_EXISTS:
            return "exists";
        case SSH_FX_OP_UNSUPPORTED:
            return "unsupported";
        case SSH_FX_NO_CONNECTION:
        case SSH_FX_CONNECTION_LOST:
            return "connection_lost";
        default:
            return "failure";
    }
}

struct DirClose {
    void operator()(sftp_dir d) const { sftp_closedir(d); }
};
struct AttrFree {
    void operator()(sftp_attributes a) const { sftp_attributes_free(a); }
};

SftpEntry entry_of(const sftp_attributes_struct& attr) {
    SftpEntry e;
    e.type = attr.type == SSH_FILEXFER_TYPE_DIRECTORY ? SftpEntry::Type::dir
             : attr.type == SSH_FILEXFER_TYPE_SYMLINK ? SftpEntry::Type::link
                                                      : SftpEntry::Type::file;
    e.size = attr.size;
    e.mtime = static_cast<std::int64_t>(attr.mtime64 ? attr.mtime64 : attr.mtime);
    e.mode = attr.permissions & 07777;
    return e;
}

}  // namespace

SftpSession::SftpSession(std::shared_ptr<ssh2::ConnectionCore> core)
    : m_core(std::move(core)), m_sftp(std::make_shared<Handle>()) {
    m_core->call([this] {
        sftp_session sftp = sftp_new(m_core->session());
        if (!sftp) throw SftpError("no_sftp", ssh_get_error(m_core->session()));
        if (sftp_init(sftp) != SSH_OK) {
            const std::string detail = ssh_get_error(m_core->session());
            sftp_free(sftp);
            throw SftpError("no_sftp", detail.empty() ? "the server has no SFTP" : detail);
        }
        m_sftp->sftp = sftp;
        m_sftp->releaser = m_core->add_releaser([handle = m_sftp] {
            sftp_free(handle->sftp);
            handle->sftp = nullptr;
        });
    });
}

SftpSession::~SftpSession() {
    try {
        m_core->call([this] {
            m_core->forget_releaser(m_sftp->releaser);
            if (m_sftp->sftp) sftp_free(m_sftp->sftp);
            m_sftp->sftp = nullptr;
        });
    } catch (const BackendError&) {
        // The connection ended first and freed the session while its channel was valid.
    }
}

void SftpSession::fail(const std::string& what) const {
    const int error = sftp_get_error(m_sftp->sftp);
    std::string detail = ssh_get_error(m_core->session());
    if (detail.empty()) detail = "SFTP error " + std::to_string(error);
    throw SftpError(code_of(error), what + ": " + detail);
}

std::string SftpSession::canonical(const std::string& path) {
    return m_core->call([&] {
        char* resolved = sftp_canonicalize_path(m_sftp->sftp, path.c_str());
        if (!resolved) fail(path);
        std::string out(resolved);
        ssh_string_free_char(resolved);
        return out;
    });
}

std::vector<SftpEntry> SftpSession::list(const std::string& path) {
    return m_core->call([&] {
        std::unique_ptr<sftp_dir_struct, DirClose> dir(sftp_opendir(m_sftp->sftp, path.c_str()));
        if (!dir) fail(path);
        std::vector<SftpEntry> entries;
        for (;;) {
            std::unique_ptr<sftp_attributes_struct, AttrFree> attr(
                sftp_readdir(m_sftp->sftp, dir.get()));
            if (!attr) break;
            if (!attr->name) continue;
            const std::string name = attr->name;
            if (name == "." || name == ".." || name.empty()) continue;
            if (entries.size() >= MAX_ENTRIES)
                throw SftpError("too_many",
                                path + ": more than " + std::to_string(MAX_ENTRIES) + " entries");
            SftpEntry e = entry_of(*attr);
            e.name = name;
            entries.push_back(std::move(e));
        }
        if (!sftp_dir_eof(dir.get())) fail(path);
        return entries;
    });
}

void SftpSession::make_dir(const std::string& path) {
    m_core->call([&] {
        if (sftp_mkdir(m_sftp->sftp, path.c_str(), 0755) != SSH_OK) fail(path);
    });
}

void SftpSession::rename(const std::string& from, const std::string& to) {
    m_core->call([&] {
        if (sftp_rename(m_sftp->sftp, from.c_str(), to.c_str()) != SSH_OK) fail(from);
    });
}

void SftpSession::remove(const std::string& path) {
    m_core->call([&] {
        std::unique_ptr<sftp_attributes_struct, AttrFree> attr(
            sftp_lstat(m_sftp->sftp, path.c_str()));
        if (!attr) fail(path);
        if (attr->type == SSH_FILEXFER_TYPE_DIRECTORY) {
            if (sftp_rmdir(m_sftp->sftp, path.c_str()) == SSH_OK) return;
            // Servers answer a folder that still holds files with a plain failure.
            if (sftp_get_error(m_sftp->sftp) == SSH_FX_FAILURE)
                throw SftpError("not_empty", path + ": the folder is not empty");
            fail(path);
        }
        if (sftp_unlink(m_sftp->sftp, path.c_str()) != SSH_OK) fail(path);
    });
}

SftpEntry SftpSession::attributes(const std::string& path, bool follow) {
    return m_core->call([&] {
        std::unique_ptr<sftp_attributes_struct, AttrFree> attr(
            follow ? sftp_stat(m_sftp->sftp, path.c_str())
                   : sftp_lstat(m_sftp->sftp, path.c_str()));
        if (!attr) fail(path);
        return entry_of(*attr);
    });
}

}  // namespace termiva
