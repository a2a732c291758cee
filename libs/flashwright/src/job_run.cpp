// The job's life: construction, the worker body, reporting and cancellation.
#include <thread>

#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright {

const char* level_name(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Warn:
            return "warn";
        case LogLevel::Error:
            return "error";
        case LogLevel::Info:
            break;
    }
    return "info";
}

nlohmann::json event_json(const FlasherEvent& event) {
    nlohmann::json values = nlohmann::json::object();
    for (const auto& [k, v] : event.message.values)
        values[k] = v;
    const std::string text = event.message.code.empty() ? "" : english_text(event.message);
    switch (event.kind) {
        case EventKind::Phase:
            return {{"kind", "phase"},
                    {"name", event.phase},
                    {"title", english_text(phase_title(event.phase))},
                    {"detail", text},
                    {"code", event.message.code},
                    {"values", values}};
        case EventKind::Log:
            return {{"kind", "log"},
                    {"text", text},
                    {"level", level_name(event.level)},
                    {"code", event.message.code},
                    {"values", values}};
        case EventKind::Progress: {
            nlohmann::json out = {{"kind", "progress"},
                                  {"filename", event.filename},
                                  {"sent", event.sent},
                                  {"total", event.total}};
            if (!event.message.code.empty()) {
                out["text"] = text;
                out["code"] = event.message.code;
                out["values"] = values;
            }
            return out;
        }
        case EventKind::FileDone:
            return {{"kind", "file_done"},
                    {"filename", event.filename},
                    {"saved_path",
                     event.saved_path ? nlohmann::json(*event.saved_path) : nlohmann::json()}};
        case EventKind::Done:
            break;
    }
    return {{"kind", "done"},
            {"ok", event.ok},
            {"reason", text},
            {"code", event.message.code},
            {"values", values}};
}

}  // namespace flashwright

namespace flashwright::detail {

FlasherJob::FlasherJob(Mode mode_, std::vector<FlashFile> files_, FlasherOptions options_,
                       SendBytes send_bytes_, ResetFuncs reset_funcs_, EventSink on_event_,
                       std::filesystem::path stub_dir_, FlasherTiming timing_, SetBaud set_baud_)
    : mode(mode_),
      files(std::move(files_)),
      options(std::move(options_)),
      send_bytes(std::move(send_bytes_)),
      reset_funcs(std::move(reset_funcs_)),
      on_event(std::move(on_event_)),
      stub_dir(std::move(stub_dir_)),
      timing(timing_),
      set_baud(std::move(set_baud_)) {}

void FlasherJob::feed(std::string_view data) {
    if (!data.empty()) _in_q.push(std::string(data));
}

void FlasherJob::cancel() {
    if (_cancelled.exchange(true)) return;
    _in_q.push(std::string());
    if (!m_cancel_logged.exchange(true)) _log({"cancelled", {}}, LogLevel::Warn);
}

void FlasherJob::abandon() {
    _cancelled.store(true);
    _in_q.push(std::string());
}

void FlasherJob::throw_if_cancelled() const {
    if (_cancelled.load()) throw EspFlasherCancelled();
}

void FlasherJob::sleep_cancellable(double seconds) {
    const double end = now() + seconds;
    for (;;) {
        throw_if_cancelled();
        const double remain = end - now();
        if (remain <= 0) return;
        // Waiting on the input queue wakes at once on cancel; a chunk that arrives meanwhile is
        // put through the decoder so nothing received is lost.
        auto chunk = _in_q.pop(remain);
        if (chunk && !chunk->empty()) _feed_slip_chunk(*chunk);
    }
}

void FlasherJob::emit(const FlasherEvent& event) noexcept {
    if (!on_event) return;
    try {
        on_event(event);
    } catch (const std::exception& e) {
        diag(std::string("[esp][event] sink failed: ") + e.what());
    } catch (...) {
        diag("[esp][event] sink failed");
    }
}

void FlasherJob::_log(Message message, LogLevel level) {
    const std::string text = english_text(message);
    FlasherEvent event;
    event.kind = EventKind::Log;
    event.message = std::move(message);
    event.level = level;
    emit(event);
    diag(std::string("[esp][") + level_name(level) + "] " + text);
}

void FlasherJob::_phase(const std::string& name, Message detail) {
    const std::string text = detail.code.empty() ? "" : english_text(detail);
    FlasherEvent event;
    event.kind = EventKind::Phase;
    event.phase = name;
    event.message = std::move(detail);
    emit(event);
    diag("[esp][phase] " + name + (text.empty() ? "" : " — " + text));
}

void FlasherJob::_progress(const std::string& filename, std::uint64_t sent, std::uint64_t total,
                           Message what) {
    FlasherEvent event;
    event.kind = EventKind::Progress;
    event.filename = filename;
    event.message = std::move(what);
    event.sent = sent;
    event.total = total;
    emit(event);
}

void FlasherJob::_file_done(const std::string& filename, std::optional<std::string> saved_path) {
    FlasherEvent event;
    event.kind = EventKind::FileDone;
    event.filename = filename;
    event.saved_path = saved_path;
    emit(event);
    diag("[esp][file_done] " + filename + (saved_path ? "  saved=" + *saved_path : ""));
}

void FlasherJob::_finish(bool ok, Message reason) {
    _completed.store(true);
    const std::string text = english_text(reason);
    FlasherEvent event;
    event.kind = EventKind::Done;
    event.ok = ok;
    event.message = std::move(reason);
    emit(event);
    diag(std::string("[esp][done] ok=") + diag_bool(ok) + " reason=" + text);
}

void FlasherJob::_run_steps() {
    _phase("reset");
    _enter_bootloader();
    sleep_cancellable(timing.reset_settle);
    _flush_residual(timing.reset_flush);

    _phase("sync");
    if (!_do_sync()) {
        _finish(false, {"sync_failed", {}});
        return;
    }
    _phase("detect");
    if (!_detect_chip()) {
        _finish(false, {"detect_failed", {}});
        return;
    }
    _spi_attach();
    _phase("stub");
    _try_load_stub();
    _change_baud();

    if (mode == Mode::Flash) {
        _run_flash();
    } else {
        _run_erase_all();
    }
    // The board's boot text after the reset comes at its own speed, which is the line's.
    _restore_baud();

    if (options.auto_reset_after) {
        _phase("after-reset");
        const auto it = reset_funcs.find("hard_reset");
        if (it != reset_funcs.end() && it->second) {
            try {
                it->second();
                _log({"hard_reset_done", {}});
            } catch (const std::exception& e) {
                _log({"hard_reset_failed", {{"error", e.what()}}}, LogLevel::Warn);
            } catch (...) {
                _log({"hard_reset_failed", {{"error", "unknown error"}}}, LogLevel::Warn);
            }
        }
    }
    _finish(true, {"done", {}});
}

void FlasherJob::_run() {
    try {
        diag(std::string("[esp][run] worker start mode=") +
             (mode == Mode::Flash ? "esp-flash" : "esp-erase-flash") + " interface=" +
             std::to_string(static_cast<int>(options.interface)) + " chip_hint=" + options.chip +
             " files=" + std::to_string(files.size()) + " compress=" + diag_bool(options.compress) +
             " auto_reset_after=" + diag_bool(options.auto_reset_after) + " verify=" +
             diag_bool(options.verify) + " line_baud=" + std::to_string(options.line_baud) +
             " flash_baud=" + std::to_string(options.flash_baud));
        _run_steps();
        return;
    } catch (const EspFlasherCancelled& e) {
        _restore_baud();
        _finish(false, e.message());
    } catch (const EspError& e) {
        _restore_baud();
        _finish(false, e.message());
    } catch (const std::exception& e) {
        diag(std::string("[esp][run] unexpected failure (") + typeid(e).name() + "): " + e.what());
        _restore_baud();
        _finish(false, {"internal", {{"error", e.what()}}});
    } catch (...) {
        diag("[esp][run] unexpected failure of unknown type");
        _restore_baud();
        _finish(false, {"internal", {{"error", "unknown error"}}});
    }
}

}  // namespace flashwright::detail
