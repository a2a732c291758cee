#include "transfer/source_file.h"

#include <chrono>

#include "platform/utf8_path.h"
#include "transfer/transfer_context.h"

namespace termiva::xfer {

SourceFile::SourceFile(const std::filesystem::path& path) : m_in(path, std::ios::binary) {
    std::error_code ec;
    if (!m_in || !std::filesystem::is_regular_file(path, ec)) {
        throw TransferFailed("cannot_open", {{"path", platform::path_to_utf8(path)}});
    }
    m_wire_name = platform::path_to_utf8(path.filename());
    m_size = std::filesystem::file_size(path, ec);
    if (ec) throw TransferFailed("cannot_size", {{"path", platform::path_to_utf8(path)}});
    // The standard library's view of both, so Windows gives them too (a file there is
    // 0644 or, read-only, 0444).
    auto written = std::filesystem::last_write_time(path, ec);
    if (!ec) {
        auto since_epoch = std::chrono::file_clock::to_sys(written).time_since_epoch();
        m_mtime = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    }
    auto status = std::filesystem::status(path, ec);
    if (!ec) m_mode = (static_cast<unsigned>(status.permissions()) & 0777u) | 0100000u;
}

std::string SourceFile::read_at(std::uint64_t offset, std::size_t count) {
    if (offset >= m_size) return {};
    if (offset + count > m_size) count = static_cast<std::size_t>(m_size - offset);
    if (offset != m_next) {
        m_in.clear();
        m_in.seekg(static_cast<std::streamoff>(offset));
    }
    std::string out(count, '\0');
    m_in.read(out.data(), static_cast<std::streamsize>(count));
    auto got = static_cast<std::size_t>(m_in.gcount());
    if (got != count) throw TransferFailed("read_failed", {{"name", m_wire_name}});
    m_next = offset + got;
    return out;
}

}  // namespace termiva::xfer
