// One firmware job on one serial line: write images at flash offsets, or erase the whole flash,
// talking to the ESP ROM loader (and the stub loader it can start) through callbacks.
//
// The job never touches a port: outgoing frames go to `send_bytes`, received bytes come in
// through `feed`, resets are performed by the caller's reset functions, and everything the job
// has to say arrives as JSON events at `on_event`. It runs on a worker thread of its own.
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

namespace flashwright {

// One image to write.
struct FlashFile {
    std::string path;
    std::int64_t offset = 0;
};

// Job options, a JSON object: "chip" ("auto" or a CHIP_TABLE key), "interface" ("auto",
// "uart", "usb-jtag"), "compress" (default true), "auto_reset_after" (default true).
// Null stands for an empty object.
using FlasherOptions = nlohmann::json;

// Event record: {"kind": "phase"|"log"|"progress"|"file_done"|"done", ...}.
using FlasherEvent = nlohmann::json;

using SendBytes = std::function<void(const std::string& bytes)>;
using ResetFunc = std::function<void()>;
// Keys "hard_reset", "enter_bootloader_uart", "enter_bootloader_usb"; a missing key means
// that kind of reset is not available. A reset function reports failure by throwing.
using ResetFuncs = std::map<std::string, ResetFunc>;
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
};

namespace detail {
class FlasherJob;
}

class FLASHWRIGHT_API EspFlasher {
public:
    // Stores the arguments and sends nothing. `mode` is "esp-flash" or "esp-erase-flash".
    // Without `stub_dir` stub files are looked up in "esp_stubs" beside this library.
    EspFlasher(std::string mode, std::vector<FlashFile> files, FlasherOptions options,
               SendBytes send_bytes, ResetFuncs reset_funcs, EventSink on_event,
               std::optional<std::filesystem::path> stub_dir = std::nullopt,
               FlasherTiming timing = {});
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
