#include "transfer/xyzmodem_transfer.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/utf8_path.h"
#include "transfer/byte_link.h"
#include "transfer/failure_reasons.h"
#include "transfer/transfer_context.h"
#include "transfer/xmodem_receiver.h"
#include "transfer/xmodem_sender.h"
#include "transfer/zmodem_frame.h"
#include "transfer/zmodem_receiver.h"
#include "transfer/zmodem_sender.h"

namespace termiva {

struct XYZModemTransfer::State {
    std::string protocol;
    std::string direction;
    SendBytes send_bytes;
    OnEvent on_event;
    std::optional<std::vector<std::string>> files;
    std::optional<std::string> save_dir;
    TransferOptions options;

    xfer::ByteLink link;
    std::atomic<bool> done{false};
    std::atomic<bool> started{false};
    std::atomic<bool> cancelled{false};
    std::mutex done_mutex;  // "done" is emitted once, by whoever ends the job
    bool done_emitted = false;
    // Held by start() until the thread handle is stored: the worker may end the job (and
    // its owner may destroy it from the "done" callback) only after that.
    std::mutex start_gate;
};

namespace {

void emit_safely(const XYZModemTransfer::OnEvent& on_event, const nlohmann::json& ev) {
    if (!on_event) return;
    try {
        on_event(ev);
    } catch (...) {
        // The owner failing to show an event must not take the worker down.
    }
}

// After the protocol's abort, a line kill (Ctrl-U): when the peer program has already left,
// the abort and our own protocol answers land in the shell's input line, and without the
// kill the user's next command would run with them in front of it.
constexpr char LINE_KILL = '\x15';

void send_abort(const XYZModemTransfer::SendBytes& send_bytes) {
    if (!send_bytes) return;
    try {
        send_bytes(XYZModemTransfer::abort_sequence());
    } catch (...) {
        // The link may be gone; the peer then stops on its own time-outs.
    }
}

// Why the arguments cannot make a job, or nothing.
std::optional<xfer::TransferFailed> argument_problem(
    const std::string& protocol, const std::string& direction,
    const std::optional<std::vector<std::string>>& files,
    const std::optional<std::string>& save_dir) {
    using xfer::TransferFailed;
    if (direction != "send" && direction != "recv") return TransferFailed("direction");
    if (!XYZModemTransfer::is_known_protocol(protocol)) {
        return TransferFailed("unknown_proto", {{"proto", protocol}});
    }
    if (direction == "send") {
        if (!files || files->empty()) return TransferFailed("need_files");
        auto block = xfer::xm::block_protocol(protocol);
        if (block && !block->batch && files->size() > 1) {
            return TransferFailed("single_file", {{"proto", protocol}});
        }
        // Checked before the peer is contacted, so a bad list costs the peer nothing.
        for (const auto& f : *files) {
            std::error_code ec;
            const std::filesystem::path path = platform::path_from_utf8(f);
            if (!std::filesystem::is_regular_file(path, ec) ||
                !std::ifstream(path, std::ios::binary)) {
                return TransferFailed("cannot_open", {{"path", f}});
            }
            // ZMODEM positions are 32 bits wide.
            if (!block && std::filesystem::file_size(path, ec) > 0xFFFFFFFFull) {
                return TransferFailed("too_large", {{"path", f}});
            }
        }
    } else if (!save_dir || save_dir->empty()) {
        return TransferFailed("need_folder");
    }
    return std::nullopt;
}

}  // namespace

std::string XYZModemTransfer::abort_sequence() {
    return xfer::zm::abort_sequence() + LINE_KILL;
}

bool XYZModemTransfer::is_known_protocol(std::string_view protocol) {
    return protocol == "zmodem" || xfer::xm::block_protocol(protocol).has_value();
}

XYZModemTransfer::XYZModemTransfer(std::string protocol, std::string direction,
                                   SendBytes send_bytes, OnEvent on_event,
                                   std::optional<std::vector<std::string>> files,
                                   std::optional<std::string> save_dir, TransferOptions options)
    : m_protocol(std::move(protocol)),
      m_direction(std::move(direction)),
      m_state(std::make_shared<State>()) {
    m_state->protocol = m_protocol;
    m_state->direction = m_direction;
    m_state->send_bytes = std::move(send_bytes);
    m_state->on_event = std::move(on_event);
    m_state->files = std::move(files);
    m_state->save_dir = std::move(save_dir);
    m_state->options = options;
}

XYZModemTransfer::~XYZModemTransfer() {
    if (!m_worker.joinable()) return;
    if (m_worker.get_id() == std::this_thread::get_id()) {
        // Destroyed from the "done" callback: the worker only has the shared state left
        // to touch, which it keeps alive itself.
        m_worker.detach();
        return;
    }
    m_state->cancelled = true;
    m_state->link.close();
    m_worker.join();
}

namespace {

// Why a job ended unsuccessfully, as the "done" event tells it.
struct Failure {
    std::string code;  // empty for a failure the engine has no code for
    nlohmann::json values = nlohmann::json::object();
    std::string text;
};

nlohmann::json done_event(const XYZModemTransfer::State& s, bool ok, const Failure& why,
                          const std::vector<std::string>& files, bool abort_sent = false) {
    nlohmann::json ev{{"kind", "done"},
                      {"ok", ok},
                      {"protocol", s.protocol},
                      {"direction", s.direction},
                      {"files", files}};
    if (!ok) {
        ev["reason"] = why.text;
        if (!why.code.empty()) {
            ev["reason_code"] = why.code;
            ev["reason_values"] = why.values;
        }
    }
    if (abort_sent) ev["abort_sent"] = true;
    return ev;
}

Failure cancelled() {
    return {"cancelled", nlohmann::json::object(), xfer::reason_text("cancelled", {})};
}

void finish(XYZModemTransfer::State& s, const nlohmann::json& ev) {
    {
        std::lock_guard lock(s.done_mutex);
        if (s.done_emitted) return;
        s.done_emitted = true;
        // Before `done`: whoever sees the job done finds everything it left unused.
        s.link.end();
        s.done = true;
    }
    emit_safely(s.on_event, ev);
}

void run_job(const std::shared_ptr<XYZModemTransfer::State>& state) {
    auto& s = *state;
    xfer::TransferContext ctx(s.link, s.send_bytes, s.on_event, s.options);
    ctx.emit({{"kind", "start"}, {"protocol", s.protocol}, {"direction", s.direction}});
    bool ok = false;
    bool peer_contacted = false;
    Failure why;
    try {
        auto problem = argument_problem(s.protocol, s.direction, s.files, s.save_dir);
        if (problem) throw *problem;
        peer_contacted = true;
        ctx.check_cancelled();
        auto block = xfer::xm::block_protocol(s.protocol);
        if (s.direction == "send") {
            std::vector<std::filesystem::path> paths;
            for (const auto& f : *s.files)
                paths.push_back(platform::path_from_utf8(f));
            if (block) {
                xfer::send_with_blocks(ctx, *block, paths);
            } else {
                xfer::send_with_zmodem(ctx, paths);
            }
        } else {
            std::filesystem::path dir = platform::path_from_utf8(*s.save_dir);
            if (block) {
                xfer::receive_with_blocks(ctx, *block, dir);
            } else {
                xfer::receive_with_zmodem(ctx, dir);
            }
        }
        ok = true;
    } catch (const xfer::TransferCancelled&) {
        why = cancelled();
    } catch (const xfer::TransferFailed& e) {
        why = {e.code(), e.values(), e.what()};
    } catch (const std::exception& e) {
        why.text = e.what();
    } catch (...) {
        why = {"internal", nlohmann::json::object(), xfer::reason_text("internal", {})};
    }
    // A false start had no sender to stop: the abort would only be printed on a console.
    const bool abort_sent = !ok && peer_contacted && why.code != "false_start";
    if (abort_sent) {
        // Whatever ended us, the peer must stop too rather than wait for its time-outs.
        send_abort(s.send_bytes);
    }
    finish(s, done_event(s, ok, why, ctx.finished_files(), abort_sent));
}

}  // namespace

void XYZModemTransfer::start() {
    if (m_state->started.exchange(true)) return;
    if (m_state->done) return;  // cancelled before it started
    auto state = m_state;
    std::lock_guard gate(state->start_gate);
    m_worker = std::thread([state] {
        try {
            { std::lock_guard wait_for_start(state->start_gate); }
            run_job(state);
        } catch (...) {
            // Nothing may leave the worker; run_job already reported what it could.
        }
    });
}

void XYZModemTransfer::feed(std::string_view data) {
    // A local reference: the worker may drop the job (and its last other reference to
    // the state) from its "done" callback while this runs.
    auto state = m_state;
    state->link.push(data);
}

std::string XYZModemTransfer::take_unused() {
    auto state = m_state;
    return state->link.take_unused();
}

bool XYZModemTransfer::is_done() const {
    return m_state->done;
}

void XYZModemTransfer::cancel() {
    auto state = m_state;
    state->cancelled = true;
    if (!state->started) {
        // Never started: nothing was said to the peer, so there is nothing to abort.
        finish(*state, done_event(*state, false, cancelled(), {}));
        return;
    }
    state->link.close();
}

}  // namespace termiva
