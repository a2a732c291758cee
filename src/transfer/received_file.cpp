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

// How often (in bytes written) the disk's free space is looked at again.
constexpr std::uint64_t ROOM_CHECK_STEP = std::uint64_t{8} << 20;

// "1 GiB", "512 MiB", "1000 bytes": a limit as the user reads it.
std::string size_text(std::uint64_t bytes) {
    if (bytes >= (std::uint64_t{1} << 30) && bytes % (std::uint64_t{1} << 30) == 0)
        return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= (std::uint64_t{1} << 20) && bytes % (std::uint64_t{1} << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string random_suffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

}  // namespace

ReceivedFile::ReceivedFile(const std::filesystem::path& dir, std::string name,
                           std::optional<std::uint64_t> announced, const TransferOptions& limits)
    : m_dir(dir),
      m_name(std::move(name)),
      m_announced(announced),
      m_unannounced_limit(limits.unannounced_limit),
      m_disk_reserve(limits.disk_reserve) {
    std::error_code ec;
    std::filesystem::create_directories(m_dir, ec);
    check_room(announced.value_or(0));
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
    if (m_announced && data.size() > *m_announced - std::min(m_size, *m_announced)) {
        throw TransferFailed("past_announced_size", {{"name", m_name}});
    }
    if (!m_announced && data.size() > m_unannounced_limit - std::min(m_size, m_unannounced_limit)) {
        throw TransferFailed("unannounced_too_long",
                             {{"name", m_name}, {"limit", size_text(m_unannounced_limit)}});
    }
    if (m_size >= m_next_room_check) {
        check_room(0);
        m_next_room_check = m_size + ROOM_CHECK_STEP;
    }
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

void ReceivedFile::check_room(std::uint64_t more) const {
    std::error_code ec;
    const auto space = std::filesystem::space(m_dir, ec);
    if (ec) return;  // no answer from the file system: the writes themselves will tell
    if (space.available < m_disk_reserve || more > space.available - m_disk_reserve) {
        throw TransferFailed("no_space",
                             {{"folder", platform::path_to_utf8(m_dir)}, {"name", m_name}});
    }
}

void ReceivedFile::discard() {
    m_file.reset();
    std::error_code ec;
    if (!m_temp.empty()) std::filesystem::remove(m_temp, ec);
    m_finished = true;
}

}  // namespace termiva::xfer
