// A local file being sent: its wire name, size, times, and reads at any position (ZMODEM
// receivers may ask to resume or repeat from anywhere).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace termiva::xfer {

class SourceFile {
public:
    // Throws TransferFailed when the file cannot be opened.
    explicit SourceFile(const std::filesystem::path& path);

    const std::string& wire_name() const { return m_wire_name; }
    std::uint64_t size() const { return m_size; }
    std::int64_t mtime() const { return m_mtime; }
    unsigned mode() const { return m_mode; }

    // Up to `count` bytes from `offset` (fewer at the end of the file).
    std::string read_at(std::uint64_t offset, std::size_t count);

private:
    std::ifstream m_in;
    std::string m_wire_name;
    std::uint64_t m_size = 0;
    std::int64_t m_mtime = 0;
    unsigned m_mode = 0100644;
    std::uint64_t m_next = 0;
};

}  // namespace termiva::xfer
