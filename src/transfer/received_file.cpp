#include "transfer/received_file.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

#include "platform/new_file.h"
#include "platform/utf8_path.h"
#include "transfer/file_names.h"
#include "transfer/transfer_context.h"

namespace termiva::xfer {
namespace {

std::string random_suffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

}  // namespace

ReceivedFile::ReceivedFile(const std::filesystem::path& dir, std::string name)
    : m_dir(dir), m_name(std::move(name)) {
    std::error_code ec;
    std::filesystem::create_directories(m_dir, ec);
    for (int attempt = 0; attempt < 8 && !m_file; ++attempt) {
        m_temp = m_dir / platform::path_from_utf8("." + m_name + "." + random_suffix() + ".part");
        // Never reuse a file that happens to exist under the temporary name.
        m_file.reset(platform::create_new_file(m_temp));
        if (!m_file && errno != EEXIST) break;
    }
    if (!m_file) {
        throw TransferFailed("cannot_create", {{"folder", platform::path_to_utf8(m_dir)},
                                               {"err", std::strerror(errno)}});
    }
    std::setvbuf(m_file.get(), nullptr, _IOFBF, 1 << 16);
}

ReceivedFile::~ReceivedFile() {
    if (!m_finished) discard();
}

void ReceivedFile::write(std::string_view data) {
    if (data.empty()) return;
    if (!m_file || std::fwrite(data.data(), 1, data.size(), m_file.get()) != data.size()) {
        throw TransferFailed("write_failed", {{"name", m_name}, {"err", std::strerror(errno)}});
    }
    m_size += data.size();
}

std::filesystem::path ReceivedFile::commit() {
    if (!m_file || std::fflush(m_file.get()) != 0) {
        throw TransferFailed("write_failed", {{"name", m_name}, {"err", std::strerror(errno)}});
    }
    m_file.reset();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto target = numbered_free_path(m_dir, m_name);
        std::error_code ec;
        // A hard link fails when the target exists, so a file appearing meanwhile is
        // never replaced.
        std::filesystem::create_hard_link(m_temp, target, ec);
        if (!ec) {
            std::filesystem::remove(m_temp, ec);
            m_finished = true;
            return target;
        }
        if (ec == std::errc::file_exists) continue;
        // File systems without hard links: rename, having just seen the name free.
        std::filesystem::rename(m_temp, target, ec);
        if (!ec) {
            m_finished = true;
            return target;
        }
        discard();
        throw TransferFailed("cannot_store", {{"name", m_name}, {"err", ec.message()}});
    }
    discard();
    throw TransferFailed("no_free_name", {{"name", m_name}});
}

void ReceivedFile::discard() {
    m_file.reset();
    std::error_code ec;
    if (!m_temp.empty()) std::filesystem::remove(m_temp, ec);
    m_finished = true;
}

}  // namespace termiva::xfer
