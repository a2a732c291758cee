// A file being received. It is written under a hidden temporary name in the receive
// folder and gets its final name only when complete, so a failed or cancelled transfer
// never leaves a partial file under the name the user expects, and an existing file is
// never overwritten (the final name is numbered instead).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace termiva::xfer {

class ReceivedFile {
public:
    // `name` must already be a safe base name. Throws TransferFailed when the folder
    // cannot be created or written.
    ReceivedFile(const std::filesystem::path& dir, std::string name);
    ~ReceivedFile();
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;

    void write(std::string_view data);
    std::uint64_t size() const { return m_size; }
    const std::string& name() const { return m_name; }

    // Flushes, gives the file its final free name and returns that path.
    std::filesystem::path commit();
    // Removes the temporary file; also what the destructor does when not committed.
    void discard();

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    std::filesystem::path m_dir;
    std::string m_name;
    std::filesystem::path m_temp;
    std::unique_ptr<std::FILE, FileCloser> m_file;
    std::uint64_t m_size = 0;
    bool m_finished = false;
};

}  // namespace termiva::xfer
