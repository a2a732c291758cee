// A flashing job with nowhere to send and short time-outs, for feeding it a chip's bytes.
#pragma once

#include <memory>

#include "diagnostics.h"
#include "flasher_job.h"

namespace termiva::fuzz {

inline std::unique_ptr<flashwright::detail::FlasherJob> quiet_job() {
    static const bool silenced = [] {
        flashwright::detail::set_diag_sink([](const std::string&) {});
        return true;
    }();
    (void)silenced;
    flashwright::FlasherTiming timing;
    timing.cmd_timeout = 0.001;
    timing.drain_idle = 0.0005;
    timing.flush_poll = 0.0005;
    timing.ohai_timeout = 0.001;
    return std::make_unique<flashwright::detail::FlasherJob>(
        flashwright::Mode::Flash, std::vector<flashwright::FlashFile>{},
        flashwright::FlasherOptions{}, [](const std::string&) {}, flashwright::ResetFuncs{},
        [](const flashwright::FlasherEvent&) {}, "/nonexistent-stub-dir", timing,
        flashwright::SetBaud{});
}

}  // namespace termiva::fuzz
