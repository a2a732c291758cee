// A file being received. It is written under a hidden temporary name in the receive
// folder and gets its final name only when complete, so a failed or cancelled transfer
// never leaves a partial file under the name the user expects, and an existing file is
// never overwritten (the final name is numbered instead).
//
// The sender is not trusted with the disk: a file takes at most the size it was announced
// with (or `unannounced_limit` without one), and never the disk's last `disk_reserve`
// bytes; free space is checked before the first byte and every few MiB after.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/transfer_options.h"

namespace termiva::xfer {

class ReceivedFile {
public:
    // `name` must already be a safe base name; `announced` is the size the sender gave,
    // if any. Throws TransferFailed when the folder cannot be created or written, or has
    // no room for the announced size.
    ReceivedFile(const std::filesystem::path& dir, std::string name,
                 std::optional<std::uint64_t> announced = std::nullopt,
                 const TransferOptions& limits = TransferOptions{});
    ~ReceivedFile();
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;

    // Throws TransferFailed when the data goes past the announced size or the limit, or
    // the disk is down to its reserve.
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
    // Throws TransferFailed unless `more` bytes leave the disk its reserve.
    void check_room(std::uint64_t more) const;

    std::uint64_t m_size = 0;
    std::optional<std::uint64_t> m_announced;
    std::uint64_t m_unannounced_limit;
    std::uint64_t m_disk_reserve;
    std::uint64_t m_next_room_check = 0;
    bool m_finished = false;
};

}  // namespace termiva::xfer
