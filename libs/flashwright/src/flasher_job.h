// The body of one flashing job. EspFlasher is the public handle; this object holds the job's
// state and is shared with the worker thread, so the worker can finish safely even when the
// handle is dropped from inside one of the job's callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "chunk_queue.h"
#include "flashwright/flasher.h"

namespace flashwright::detail {

class FlasherJob {
public:
    FlasherJob(Mode mode, std::vector<FlashFile> files, FlasherOptions options,
               SendBytes send_bytes, ResetFuncs reset_funcs, EventSink on_event,
               std::filesystem::path stub_dir, FlasherTiming timing, SetBaud set_baud);

    // Public handle operations.
    void feed(std::string_view data);
    void cancel();
    // Stops the job like cancel() but without the user-facing log line.
    void abandon();
    bool is_done() const { return _completed.load(); }

    // --- Framing and command layer ---
    static std::string _slip_encode(std::string_view data);
    void _feed_slip_chunk(std::string_view chunk);
    void _drain_input_to_slip(double deadline);
    std::string _read_packet(double timeout);
    void _flush_residual(std::optional<double> drain_for = std::nullopt);
    static std::uint8_t _checksum(std::string_view data);
    void _send_command(std::uint8_t op, std::string_view data = {}, std::uint32_t checksum = 0);
    std::pair<std::uint32_t, std::string> _check_response(
        std::uint8_t op, std::optional<double> timeout = std::nullopt);
    std::pair<std::uint32_t, std::string> _command(std::uint8_t op, std::string_view data = {},
                                                   std::uint32_t checksum = 0,
                                                   std::optional<double> timeout = std::nullopt);

    // --- Bootloader entry, sync, detection, stub ---
    void _enter_bootloader();
    bool _try_alt_interface();
    bool _do_sync();
    std::uint32_t _read_reg(std::uint32_t addr);
    bool _detect_chip();
    void _spi_attach();
    // The flash parameters the ROM loader needs before it writes (the size above all).
    void _spi_set_params(std::uint32_t flash_size);
    // Moves the line to the flashing speed; falls back to the line's speed once.
    void _change_baud();
    // The port back at the line's speed, if the job changed it.
    void _restore_baud() noexcept;
    // Re-syncs after a speed change: a few attempts, no resets.
    bool _resync();
    bool _try_load_stub();
    void _upload_ram_segment(std::string_view data, std::uint32_t addr);

    // --- Flash and erase ---
    static std::uint32_t _erase_size_for_begin(std::uint64_t size);
    void _flash_begin_block(std::uint64_t total_size, std::uint32_t offset, bool compressed = false,
                            std::optional<std::uint64_t> uncompressed_size = std::nullopt);
    void _flash_data_block(std::uint32_t seq, std::string_view chunk, bool compressed = false);
    void _flash_end_block(bool compressed = false, bool reboot = false);
    void _flash_one_file(const std::string& path, std::int64_t offset, bool compress);
    void _erase_flash_all();
    // Whole-flash erase through the ROM loader: FLASH_BEGIN erases what it announces.
    void _erase_flash_rom(std::uint32_t flash_size);
    // SPI_FLASH_MD5 over [offset, offset + size) compared with the image's own MD5.
    void _verify_region(const std::string& filename, std::uint32_t offset, std::string_view raw);
    // The flash size to announce (the option, a boot-loader header, or what the images need)
    // and the log line that says which and why.
    struct FlashSize {
        std::uint32_t bytes = 0;
        Message said;
    };
    FlashSize _flash_size_for_job() const;
    void _run();
    void _run_flash();
    void _run_erase_all();

    // --- Reporting ---
    void _log(Message message, LogLevel level = LogLevel::Info);
    void _phase(const std::string& name, Message detail = {});
    // `what` words progress that belongs to no file (the filename is then empty).
    void _progress(const std::string& filename, std::uint64_t sent, std::uint64_t total,
                   Message what = {});
    void _file_done(const std::string& filename,
                    std::optional<std::string> saved_path = std::nullopt);
    void _finish(bool ok, Message reason);

    // Seconds on the job's steady clock.
    static double now();

    // Constructor values.
    const Mode mode;
    const std::vector<FlashFile> files;
    const FlasherOptions options;
    const SendBytes send_bytes;
    const ResetFuncs reset_funcs;
    const EventSink on_event;
    const std::filesystem::path stub_dir;
    const FlasherTiming timing;
    const SetBaud set_baud;

    // Framing state; all but _in_q and the flags belong to the worker thread.
    ChunkQueue _in_q;
    std::deque<std::string> _packet_q;
    std::string _slip_buf;
    bool _slip_in_packet = false;
    bool _slip_escape = false;
    bool _suppress_resp_log = false;
    bool _is_stub = false;
    std::atomic<bool> _cancelled{false};
    std::atomic<bool> _completed{false};

    // Loader state.
    std::optional<std::string> _chip;
    std::optional<ChipInfo> _chip_info;
    std::size_t _block_size = FLASH_WRITE_SIZE_ROM;
    bool _baud_changed = false;  // the port was set to another speed than the line's
    bool _params_set = false;    // SPI_SET_PARAMS was answered

    // Owned by the public handle, which starts and joins it.
    std::thread _worker;

private:
    void emit(const FlasherEvent& event) noexcept;
    void _run_steps();
    void throw_if_cancelled() const;
    void sleep_cancellable(double seconds);

    std::atomic<bool> m_cancel_logged{false};
};

}  // namespace flashwright::detail
