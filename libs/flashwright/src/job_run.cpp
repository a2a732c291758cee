// The job's life: construction, the worker body, reporting and cancellation.
#include <thread>

#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright::detail {

FlasherJob::FlasherJob(std::string mode_, std::vector<FlashFile> files_, FlasherOptions options_,
                       SendBytes send_bytes_, ResetFuncs reset_funcs_, EventSink on_event_,
                       std::filesystem::path stub_dir_, FlasherTiming timing_)
    : mode(std::move(mode_)),
      files(std::move(files_)),
      options(options_.is_object() ? std::move(options_) : FlasherOptions::object()),
      send_bytes(std::move(send_bytes_)),
      reset_funcs(std::move(reset_funcs_)),
      on_event(std::move(on_event_)),
      stub_dir(std::move(stub_dir_)),
      timing(timing_) {}

std::string FlasherJob::option_string(const char* key, const char* fallback) const {
    const auto it = options.find(key);
    if (it == options.end() || it->is_null()) return fallback;
    if (it->is_string()) return it->get<std::string>();
    return it->dump();
}

bool FlasherJob::option_flag(const char* key, bool fallback) const {
    const auto it = options.find(key);
    if (it == options.end()) return fallback;
    // Truthiness of a loosely typed value from the page.
    switch (it->type()) {
        case nlohmann::json::value_t::null:
            return false;
        case nlohmann::json::value_t::boolean:
            return it->get<bool>();
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
            return it->get<std::int64_t>() != 0;
        case nlohmann::json::value_t::number_float:
            return it->get<double>() != 0.0;
        case nlohmann::json::value_t::string:
            return !it->get<std::string>().empty();
        default:
            return !it->empty();
    }
}

void FlasherJob::feed(std::string_view data) {
    if (!data.empty()) _in_q.push(std::string(data));
}

void FlasherJob::cancel() {
    if (_cancelled.exchange(true)) return;
    _in_q.push(std::string());
    if (!m_cancel_logged.exchange(true)) _log("使用者取消", "warn");
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

void FlasherJob::_log(const std::string& text, const std::string& level) {
    emit({{"kind", "log"}, {"text", text}, {"level", level}});
    diag("[esp][" + level + "] " + text);
}

void FlasherJob::_phase(const std::string& name, const std::string& detail) {
    emit({{"kind", "phase"}, {"name", name}, {"detail", detail}});
    diag("[esp][phase] " + name + (detail.empty() ? "" : " — " + detail));
}

void FlasherJob::_progress(const std::string& filename, std::uint64_t sent, std::uint64_t total) {
    emit({{"kind", "progress"}, {"filename", filename}, {"sent", sent}, {"total", total}});
}

void FlasherJob::_file_done(const std::string& filename, std::optional<std::string> saved_path) {
    FlasherEvent event{{"kind", "file_done"}, {"filename", filename}, {"saved_path", nullptr}};
    if (saved_path) event["saved_path"] = *saved_path;
    emit(event);
    diag("[esp][file_done] " + filename + (saved_path ? "  saved=" + *saved_path : ""));
}

void FlasherJob::_finish(bool ok, const std::string& reason) {
    _completed.store(true);
    emit({{"kind", "done"}, {"ok", ok}, {"reason", reason}});
    diag(std::string("[esp][done] ok=") + py_bool(ok) + " reason=" + reason);
}

void FlasherJob::_run() {
    try {
        diag("[esp][run] worker start mode=" + mode + " interface=" +
             option_string("interface", "auto") + " chip_hint=" + option_string("chip", "auto") +
             " files=" + std::to_string(files.size()) +
             " compress=" + py_bool(option_flag("compress", true)) +
             " auto_reset_after=" + py_bool(option_flag("auto_reset_after", true)));
        _phase("reset");
        _enter_bootloader();
        sleep_cancellable(timing.reset_settle);
        _flush_residual(timing.reset_flush);

        _phase("sync");
        if (!_do_sync()) {
            _finish(false, "SYNC 失敗 — 板子沒有進入 download mode");
            return;
        }
        _phase("detect");
        if (!_detect_chip()) {
            _finish(false, "晶片偵測失敗");
            return;
        }
        _spi_attach();
        _phase("stub");
        _try_load_stub();

        if (mode == "esp-flash") {
            _run_flash();
        } else if (mode == "esp-erase-flash") {
            _run_erase_all();
        } else {
            _finish(false, "未知 mode " + mode);
            return;
        }

        if (option_flag("auto_reset_after", true)) {
            _phase("after-reset");
            const auto it = reset_funcs.find("hard_reset");
            if (it != reset_funcs.end() && it->second) {
                try {
                    it->second();
                    _log("已 hard-reset,板子重新進入應用程式");
                } catch (const std::exception& e) {
                    _log(std::string("hard-reset 失敗:") + e.what(), "warn");
                } catch (...) {
                    _log("hard-reset 失敗:unknown error", "warn");
                }
            }
        }
        _finish(true, "完成");
    } catch (const EspFlasherCancelled&) {
        _finish(false, "使用者取消");
    } catch (const EspProtocolError& e) {
        _finish(false, std::string("協定錯誤:") + e.what());
    } catch (const std::exception& e) {
        diag(std::string("[esp][run] unexpected failure (") + typeid(e).name() + "): " + e.what());
        _finish(false, std::string("例外:") + e.what());
    } catch (...) {
        diag("[esp][run] unexpected failure of unknown type");
        _finish(false, "例外:unknown error");
    }
}

}  // namespace flashwright::detail
