// One firmware job on one serial line: write images at flash offsets, or erase the whole flash,
// talking to the ESP ROM loader (and the stub loader it can start) through callbacks.
//
// The job never touches a port: outgoing frames go to `send_bytes`, received bytes come in
// through `feed`, resets are performed by the caller's reset functions, and everything the job
// has to say arrives as events with a code and values at `on_event`. It runs on a worker thread of
// its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "flashwright/chips.h"
#include "flashwright/constants.h"
#include "flashwright/errors.h"
#include "flashwright/export.h"
#include "flashwright/messages.h"

namespace flashwright {

// One image to write.
struct FlashFile {
    std::string path;
    std::int64_t offset = 0;
};

enum class Mode { Flash, EraseFlash };
// How the board is put into download mode; Auto tries the UART entry and switches to the
// USB-Serial-JTAG entry once when the board stays silent.
enum class Interface { Auto, Uart, UsbJtag };

struct FlasherOptions {
    std::string chip = "auto";  // "auto" or a CHIP_TABLE key
    Interface interface = Interface::Auto;
    bool compress = true;
    bool auto_reset_after = true;
    // Read each image back as an MD5 of its flash region after writing it.
    bool verify = true;
    // The speed the port is open at, and the speed to flash at (0: stay at the line's speed).
    std::uint32_t line_baud = 0;
    std::uint32_t flash_baud = 0;
    // Flash size in bytes for the loader's flash parameters; 0 lets the job find it (from a
    // boot-loader image's header, else the smallest common size that holds every image).
    std::uint32_t flash_size = 0;
};

enum class EventKind { Phase, Log, Progress, FileDone, Done };
enum class LogLevel { Info, Warn, Error };

struct FlasherEvent {
    EventKind kind = EventKind::Log;
    std::string phase;  // Phase: "reset", "sync", "detect", "stub", "baud", "flash", "verify",
                        // "erase", "after-reset"
    Message message;    // Phase: its detail (may be empty); Log: the line; Done: the reason;
                        // Progress: what is counted when it is no file (else empty)
    LogLevel level = LogLevel::Info;        // Log
    std::string filename;                   // Progress, FileDone
    std::uint64_t sent = 0, total = 0;      // Progress
    std::optional<std::string> saved_path;  // FileDone
    bool ok = false;                        // Done
};

// The event as a record: {"kind": "phase"|"log"|"progress"|"file_done"|"done", ...}, its
// texts in English (a phase's "title" and "detail", "text", "reason") beside "code" and
// "values".
FLASHWRIGHT_API nlohmann::json event_json(const FlasherEvent& event);
FLASHWRIGHT_API const char* level_name(LogLevel level) noexcept;

using SendBytes = std::function<void(const std::string& bytes)>;
using ResetFunc = std::function<void()>;
// Keys "hard_reset", "enter_bootloader_uart", "enter_bootloader_usb"; a missing key means
// that kind of reset is not available. A reset function reports failure by throwing.
using ResetFuncs = std::map<std::string, ResetFunc>;
// Sets the local port's speed (bit/s); reports failure by throwing.
using SetBaud = std::function<void(std::uint32_t baud)>;
using EventSink = std::function<void(const FlasherEvent& event)>;

// Every wait of a job, in seconds (and the sync attempt counts). The defaults are the ones a
// real board needs; tests shrink them to run the long paths quickly.
struct FlasherTiming {
    double cmd_timeout = CMD_TIMEOUT;
    double drain_idle = 0.05;    // longest wait for one received chunk while draining
    double flush_poll = 0.02;    // chunk wait while swallowing residual input
    double flush_default = 0.2;  // default length of a residual flush
    int sync_retries = SYNC_RETRIES;
    int sync_switch_attempt = 30;  // attempt index at which "auto" switches to USB-JTAG reset
    double sync_flush = 0.05;
    double sync_response_timeout = 0.3;
    double sync_pause = 0.05;
    double sync_done_flush = 0.2;
    double reset_settle = 0.5;  // pause after the bootloader reset
    double reset_flush = 0.3;   // then residual input swallowed for this long
    double ohai_timeout = 2.0;
    double flash_begin_timeout = 30.0;
    double flash_block_timeout = 10.0;
    double flash_end_timeout = 10.0;
    double erase_timeout = 300.0;
    double md5_timeout_per_mib = 8.0;  // the ROM hashes about 1 MiB in a few seconds
    double baud_settle = 0.05;         // after the speed change, before the first re-sync
    int baud_sync_retries = 6;         // re-sync attempts at the new (or the old) speed
};

namespace detail {
class FlasherJob;
}

class FLASHWRIGHT_API EspFlasher {
public:
    // Stores the arguments and sends nothing. Without `set_baud` the line keeps its speed.
    // Without `stub_dir` stub files are looked up in "esp_stubs" beside this library.
    EspFlasher(Mode mode, std::vector<FlashFile> files, FlasherOptions options,
               SendBytes send_bytes, ResetFuncs reset_funcs, EventSink on_event,
               std::optional<std::filesystem::path> stub_dir = std::nullopt,
               FlasherTiming timing = {}, SetBaud set_baud = {});
    // A running job is cancelled quietly and waited for (it stops at its next cancellation
    // point), so no callback outlives the object. Destroying the object from inside one of its
    // own callbacks is allowed: the worker then finishes on its own.
    ~EspFlasher();
    EspFlasher(const EspFlasher&) = delete;
    EspFlasher& operator=(const EspFlasher&) = delete;

    // Starts the worker thread (named "esp-" + mode). A second call does nothing.
    void start() noexcept;
    // Hands received bytes to the job; returns at once. Safe from any thread.
    void feed(std::string_view data) noexcept;
    // Asks the job to stop at its next cancellation point; logs "使用者取消" once.
    void cancel() noexcept;
    // True once the job has finished (already true when the "done" event is delivered).
    bool is_done() const noexcept;

private:
    std::shared_ptr<detail::FlasherJob> m_job;
};

}  // namespace flashwright
