#include "transfer/source_file.h"

#include <sys/stat.h>

#include "transfer/transfer_context.h"

namespace termiva::xfer {

SourceFile::SourceFile(const std::filesystem::path& path) : m_in(path, std::ios::binary) {
    std::error_code ec;
    if (!m_in || !std::filesystem::is_regular_file(path, ec)) {
        throw TransferFailed("cannot_open", {{"path", path.string()}});
    }
    m_wire_name = path.filename().string();
    m_size = std::filesystem::file_size(path, ec);
    if (ec) throw TransferFailed("cannot_size", {{"path", path.string()}});
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        m_mtime = st.st_mtime;
        m_mode = static_cast<unsigned>(st.st_mode) & 0777u;
        m_mode |= 0100000u;
    }
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
