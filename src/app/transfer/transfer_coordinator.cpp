// File transfer inside a terminal connection: the filter every reader passes received
// bytes through, ZMODEM auto-receive, and the page's transfer operations.
#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "app/json_values.h"
#include "app/transfer/transfer_coordinator.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "transfer/xyzmodem_transfer.h"

namespace termiva {

namespace {

// How long bytes wait behind a finished job for its end line before they are shown
// anyway; the end comes within milliseconds.
constexpr std::chrono::seconds END_WAIT{2};

// A receive the sender's start header began: a console that merely printed those bytes
// is heard again within seconds, and its output is shown.
TransferOptions auto_receive_options() {
    TransferOptions options;
    options.false_start_wait = std::chrono::seconds(3);
    return options;
}

constexpr std::array<std::string_view, 6> PROTOCOLS = {"xmodem", "xmodem-crc", "xmodem-1k",
                                                       "ymodem", "ymodem-g",   "zmodem"};

// The transfer engine in a tab's job slot.
class TransferJob : public Job {
public:
    TransferJob(std::string protocol, std::string direction, XYZModemTransfer::SendBytes send,
                XYZModemTransfer::OnEvent on_event, std::optional<std::vector<std::string>> files,
                std::optional<std::string> save_dir, TransferOptions options)
        : m_engine(std::move(protocol), std::move(direction), std::move(send), std::move(on_event),
                   std::move(files), std::move(save_dir), options) {}
    void start() override { m_engine.start(); }
    void feed(std::string_view data) override { m_engine.feed(data); }
    bool is_done() const override { return m_engine.is_done(); }
    std::string take_unused() override { return m_engine.take_unused(); }
    void cancel() override { m_engine.cancel(); }
    std::string protocol() const override { return m_engine.protocol(); }
    std::string direction() const override { return m_engine.direction(); }

private:
    XYZModemTransfer m_engine;
};

}  // namespace

TransferCoordinator::TabTransfer* TransferCoordinator::entry_held(const TabPtr& tab) {
    auto found = m_tabs.find(tab->id);
    if (found != m_tabs.end()) return &found->second;
    // A tab that closed keeps no entry: release() may already have run.
    if (tab->closed()) return nullptr;
    return &m_tabs[tab->id];
}

void TransferCoordinator::let_go_elsewhere(std::shared_ptr<Job> job) {
    if (job) m_host.spawn([ended = std::move(job)]() mutable { ended.reset(); });
}

std::shared_ptr<Job> TransferCoordinator::job_of(const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    auto found = m_tabs.find(tab_id);
    return found == m_tabs.end() ? nullptr : found->second.job;
}

bool TransferCoordinator::busy(const std::string& tab_id) {
    auto job = job_of(tab_id);
    return job && !job->is_done();
}

TransferCoordinator::Occupy TransferCoordinator::occupy(
    const TabPtr& tab, std::shared_ptr<Job> job, const std::function<bool(const Tab&)>& fits) {
    std::shared_ptr<Job> ended;
    {
        std::lock_guard lock(m_lock);
        {
            std::lock_guard tab_lock(tab->lock);
            if (tab->state_held() == TabState::closed || (fits && !fits(*tab)))
                return Occupy::refused;
        }
        TabTransfer* slot = entry_held(tab);
        if (!slot) return Occupy::refused;
        if (slot->job && !slot->job->is_done()) return Occupy::busy;
        ended = std::exchange(slot->job, std::move(job));
        // An ended job whose "done" has not freed the slot yet: what it did not use goes
        // out with its end, which no longer finds it in the slot.
        if (ended) slot->after_job.insert(0, ended->take_unused());
    }
    let_go_elsewhere(std::move(ended));
    return Occupy::taken;
}

std::shared_ptr<Job> TransferCoordinator::vacate(const std::string& tab_id, const Job* job) {
    std::lock_guard lock(m_lock);
    auto found = m_tabs.find(tab_id);
    if (found == m_tabs.end() || !found->second.job) return nullptr;
    if (job && found->second.job.get() != job) return nullptr;
    return std::exchange(found->second.job, {});
}

void TransferCoordinator::release(const std::string& tab_id) {
    std::shared_ptr<Job> job;
    {
        std::lock_guard lock(m_lock);
        auto found = m_tabs.find(tab_id);
        if (found == m_tabs.end()) return;
        job = std::move(found->second.job);
        m_tabs.erase(found);
    }
    if (!job) return;
    try {
        job->cancel();
    } catch (const std::exception& e) {
        log::warn("close_tab", std::string("transfer cancel: ") + e.what());
    }
    let_go_elsewhere(std::move(job));
}

std::string TransferCoordinator::intercept_or_decode(const std::string& tab_id,
                                                     std::string_view data) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab || data.empty()) return {};
    std::shared_ptr<Job> job = job_of(tab_id);
    // A job beside the terminal tells its end without waiting for this reader: its last
    // reference may go here.
    if (!job || !job->in_band()) return detect_or_decode(tab_id, data);
    // An ended job's "done" may be on its way, waiting for this reader, and the job's end
    // joins that thread: the last reference to an ended job is let go elsewhere.
    struct LetGoElsewhere {
        TransferCoordinator& owner;
        std::shared_ptr<Job>& job;
        ~LetGoElsewhere() {
            if (job && job->is_done()) owner.let_go_elsewhere(std::move(job));
        }
    } let_go{*this, job};
    if (!job->is_done()) {
        // What comes behind the job's last protocol byte it sets aside for its end.
        job->feed(data);
        return {};
    }
    // The job has ended and its "done" is on the way (it waits for this reader to let
    // go): these bytes follow the end line it will show, so they wait for it.
    const auto now = std::chrono::steady_clock::now();
    std::string held;
    {
        std::lock_guard lock(m_lock);
        TabTransfer* slot = entry_held(tab);
        if (!slot) return {};
        if (slot->after_job.empty()) slot->after_job_since = now;
        slot->after_job.append(data);
        // An end that never came must not silence the tab: after a while what waited is
        // shown without it.
        if (now - slot->after_job_since < END_WAIT) return {};
        held = std::exchange(slot->after_job, {});
    }
    log::warn("xfer", "a finished transfer's end did not arrive on tab " + tab_id);
    return detect_or_decode(tab_id, job->take_unused() + held);
}

std::string TransferCoordinator::detect_or_decode(const std::string& tab_id,
                                                  std::string_view data) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab || data.empty()) return {};
    std::shared_ptr<AbortEcho> abort_echo;
    {
        std::lock_guard lock(m_lock);
        TabTransfer* slot = entry_held(tab);
        if (!slot) return {};
        abort_echo = slot->abort_echo;
    }
    // What follows an abort the tab sent is held or dropped before anything else.
    const std::string kept = abort_echo->filter(data, std::chrono::steady_clock::now());
    return sniff_and_decode(tab, kept);
}

std::string TransferCoordinator::sniff_and_decode(const TabPtr& tab, std::string_view data) {
    if (data.empty()) return {};
    const std::string& tab_id = tab->id;
    std::shared_ptr<ZmodemSniffer> sniffer;
    std::shared_ptr<ZmodemReceiverWatch> receiver;
    {
        std::lock_guard lock(m_lock);
        TabTransfer* slot = entry_held(tab);
        if (!slot) return {};
        sniffer = slot->sniffer;
        receiver = slot->receiver_watch;
    }
    ZmodemSniffer::Result seen = sniffer->feed(data);
    if (!seen.detected) {
        // rz on the other side waits for files: the page offers to send them, and the
        // header rz prints for that is not left on the screen.
        ZmodemReceiverWatch::Result waiting = receiver->feed(seen.shown);
        seen.shown = std::move(waiting.shown);
        if (waiting.waiting) {
            m_shell.page_call("xferOnEvent",
                              {tab_id, Json{{"kind", "receiver_waiting"}, {"protocol", "zmodem"}}},
                              true);
        }
    }
    if (seen.detected) {
        m_host.push_info(tab_id, m_host.translate("info.zmodem_detected"), false);
        // The slot may be taken by a job beside the terminal (SFTP): the sender's bytes
        // are then not fed to that job.
        const bool started =
            start_job(tab_id, "zmodem", "recv", std::nullopt,
                      platform::path_to_utf8(default_recv_dir()), auto_receive_options());
        std::shared_ptr<Job> job = started ? job_of(tab_id) : nullptr;
        if (job && !seen.transfer.empty()) job->feed(seen.transfer);
    }
    return decode(tab, seen.shown);
}

std::string TransferCoordinator::decode(const TabPtr& tab, std::string_view data) {
    if (data.empty()) return {};
    std::shared_ptr<text::Decoder> decoder;
    {
        std::lock_guard lock(tab->lock);
        if (!tab->decoder) {
            std::string encoding = tab->encoding.empty() ? "utf-8" : tab->encoding;
            tab->decoder = text::decoder_or_utf8(encoding);
        }
        decoder = tab->decoder;
    }
    return decoder->decode(data);
}

bool TransferCoordinator::start_job(const std::string& tab_id, const std::string& protocol,
                                    const std::string& direction,
                                    std::optional<std::vector<std::string>> files,
                                    std::optional<std::string> save_dir, TransferOptions options) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) return false;
    const std::optional<std::string> folder = save_dir;
    // Set before the job can report anything: its "done" must free only its own slot.
    auto source = std::make_shared<const Job*>(nullptr);
    auto job = std::make_shared<TransferJob>(
        protocol, direction, [this, tab_id](std::string_view bytes) { send_bytes(tab_id, bytes); },
        [this, tab_id, source](const Json& ev) { on_event(tab_id, ev, *source); }, std::move(files),
        std::move(save_dir), options);
    *source = job.get();
    if (occupy(tab, job) != Occupy::taken) return false;
    if (direction == "recv" && folder) note_received_into(tab, *folder);
    job->start();
    return true;
}

Json TransferCoordinator::start(const std::string& tab_id, const std::string& protocol,
                                const std::string& direction, const Json& files,
                                const Json& save_dir) {
    if (direction != "send" && direction != "recv") {
        return Json{{"ok", false}, {"reason", m_host.translate("xfer.reason.direction")}};
    }
    if (std::find(PROTOCOLS.begin(), PROTOCOLS.end(), protocol) == PROTOCOLS.end()) {
        return Json{
            {"ok", false},
            {"reason", m_host.translate("xfer.reason.unknown_proto", {{"proto", protocol}})}};
    }
    std::optional<std::vector<std::string>> file_list;
    if (files.is_array() && !files.empty()) {
        file_list.emplace();
        for (const auto& f : files)
            file_list->push_back(text_of(f));
    }
    if (direction == "send" && !file_list) {
        return Json{{"ok", false}, {"reason", m_host.translate("xfer.reason.need_files")}};
    }
    std::optional<std::string> folder;
    if (direction == "recv") {
        folder = is_false_like(save_dir) ? platform::path_to_utf8(default_recv_dir())
                                         : text_of(save_dir);
    }
    bool ok = start_job(tab_id, protocol, direction, direction == "send" ? file_list : std::nullopt,
                        folder);
    return Json{{"ok", ok}, {"save_dir", folder ? Json(*folder) : Json()}};
}

bool TransferCoordinator::cancel(const std::string& tab_id) {
    std::shared_ptr<Job> job = job_of(tab_id);
    if (!job) return false;
    job->cancel();
    return true;
}

Json TransferCoordinator::status(const std::string& tab_id) {
    std::shared_ptr<Job> job = m_host.find_tab(tab_id) ? job_of(tab_id) : nullptr;
    if (!job) return Json{{"active", false}};
    auto or_null = [](const std::string& s) { return s.empty() ? Json() : Json(s); };
    return Json{{"active", !job->is_done()},
                {"protocol", or_null(job->protocol())},
                {"direction", or_null(job->direction())}};
}

void TransferCoordinator::send_bytes(const std::string& tab_id, std::string_view data) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab || data.empty()) return;
    try {
        std::shared_ptr<Backend> target;
        {
            std::lock_guard lock(tab->lock);
            target = tab->backend;
        }
        if (target) target->send(data);
    } catch (const std::exception& e) {
        log::warn("xfer_send_bytes", e.what());
    }
}

Json TransferCoordinator::worded(const Json& ev) const {
    if (member(ev, "kind") != "done" || member(ev, "ok") == true) return ev;
    const Json& code = member(ev, "reason_code");
    if (!code.is_string()) return ev;
    MessageArgs values;
    for (const auto& [name, value] : member(ev, "reason_values").items())
        values.emplace_back(name, text_of(value));
    const std::string key = "xfer.reason." + code.get<std::string>();
    std::string text = m_host.translate(key, values);
    if (text == key) return ev;  // a code the catalog does not know keeps the engine's text
    Json out = ev;
    out["reason"] = std::move(text);
    return out;
}

void TransferCoordinator::on_event(const std::string& tab_id, const Json& raw, const Job* source) {
    const Json ev = worded(raw);
    m_shell.page_call("xferOnEvent", {tab_id, ev}, true);
    if (member(ev, "kind") != "done") return;
    if (source && !source->in_band()) {
        // Nothing of the terminal's waited behind it, and the panel tells its end.
        let_go_elsewhere(vacate(tab_id, source));
        return;
    }
    auto show_end = [&] {
        if (member(ev, "ok") == true) {
            m_host.push_info(tab_id, m_host.translate("info.xfer_end_ok"), false);
        } else {
            m_host.push_info(
                tab_id,
                m_host.translate("info.xfer_end_fail", {{"reason", text_of(member(ev, "reason"))}}),
                true);
        }
    };
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) {
        show_end();
        return;
    }
    // The slot is freed even when no window listens: a finished job must not hold it.
    // Under the received-bytes order, so that the end line comes before what the job did
    // not use and what arrived since, and those before anything the reader receives next.
    std::shared_ptr<Job> finished;
    {
        std::lock_guard in_order(tab->received_order);
        std::shared_ptr<ZmodemSniffer> sniffer;
        std::shared_ptr<AbortEcho> abort_echo;
        std::string held;
        {
            std::lock_guard lock(m_lock);
            if (auto found = m_tabs.find(tab_id); found != m_tabs.end()) {
                TabTransfer& slot = found->second;
                // A job that is no longer in the slot was replaced after it ended; what it
                // left was put with the bytes held for its end then.
                if (!source || slot.job.get() == source) finished = std::exchange(slot.job, {});
                sniffer = slot.sniffer;
                abort_echo = slot.abort_echo;
                held = std::exchange(slot.after_job, {});
            }
        }
        if (finished && sniffer) sniffer->reset();
        show_end();
        if (member(ev, "abort_sent") == true && abort_echo) {
            abort_echo->arm(XYZModemTransfer::abort_sequence(), std::chrono::steady_clock::now());
            settle_abort_later(tab, abort_echo);
        }
        std::string rest = finished ? finished->take_unused() : std::string();
        rest += held;
        // A false start hands back the start header it was begun by: seen again, it would
        // begin the same false start once more.
        std::string text = member(ev, "reason_code") == "false_start"
                               ? decode(tab, rest)
                               : detect_or_decode(tab_id, rest);
        if (!text.empty()) m_host.push_text(tab_id, text);
    }
    // This may run on the job's own thread: let the last reference go elsewhere.
    let_go_elsewhere(std::move(finished));
}

void TransferCoordinator::settle_abort_later(const TabPtr& tab,
                                             const std::shared_ptr<AbortEcho>& abort_echo) {
    // What the peer sent before it stopped is held until the line is quiet; when nothing
    // more arrives to carry it out, this does. Bounded: it settles by LIMIT at the latest.
    m_host.spawn([this, tab, abort_echo] {
        for (;;) {
            // Timed on purpose: "quiet" means no bytes for a while, which only a clock
            // can tell; AbortEcho bounds how long it holds.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard in_order(tab->received_order);
            if (!abort_echo->holding()) return;
            auto shown = abort_echo->settle(std::chrono::steady_clock::now());
            if (!shown) continue;
            std::string text = sniff_and_decode(tab, *shown);
            if (!text.empty()) m_host.push_text(tab->id, text);
            return;
        }
    });
}

std::filesystem::path TransferCoordinator::default_recv_dir() {
    const Json chosen = m_store.setting("download_folder");
    std::filesystem::path dir;
    if (chosen.is_string() &&
        chosen.get_ref<const std::string&>().find_first_not_of(" \t") != std::string::npos) {
        dir = platform::path_typed_by_user(chosen.get<std::string>());
    } else {
        dir = platform::user_downloads_dir();
    }
    if (dir.empty()) dir = m_data_dir / "downloads";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) log::warn("xfer", "cannot make " + platform::path_to_utf8(dir) + ": " + ec.message());
    return dir;
}

void TransferCoordinator::note_received_into(const TabPtr& tab, const std::string& folder) {
    std::lock_guard lock(m_lock);
    if (TabTransfer* entry = entry_held(tab)) entry->received_into = folder;
}

bool TransferCoordinator::open_received_folder(const std::string& tab_id) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) return false;
    std::string folder;
    {
        std::lock_guard lock(m_lock);
        if (TabTransfer* entry = entry_held(tab)) folder = entry->received_into;
    }
    auto desktop = m_shell.desktop();
    if (folder.empty() || !desktop) return false;
    return desktop->open_folder(platform::path_from_utf8(folder));
}

Json TransferCoordinator::pick_files() {
    auto desktop = m_shell.desktop();
    Json out = Json::array();
    if (!desktop) return out;
    auto chosen = desktop->pick_files(m_host.translate("dialog.pick_files"),
                                      {{"All Files", {"*.*"}}}, true, std::chrono::seconds(300));
    if (chosen) {
        for (const auto& p : *chosen)
            out.push_back(platform::path_to_utf8(p));
    }
    return out;
}

std::string TransferCoordinator::pick_save_dir() {
    auto desktop = m_shell.desktop();
    if (!desktop) return {};
    auto chosen = desktop->pick_folder(m_host.translate("dialog.pick_save_dir"),
                                       std::chrono::seconds(180), default_recv_dir());
    return chosen ? platform::path_to_utf8(*chosen) : std::string();
}

void TransferCoordinator::register_ops(BridgeTable& table) {
    using Args = std::vector<Json>;
    auto text = [](const Args& a, std::size_t i) -> const std::string& {
        return a.at(i).get_ref<const std::string&>();
    };
    table.add("xfer_start",
              {{"tab_id", "protocol", "direction", {"files", nullptr}, {"save_dir", nullptr}},
               [] {
                   return Json{{"ok", false}};
               },
               [this, text](const Args& a) {
                   return start(text(a, 0), text(a, 1), text(a, 2), a[3], a[4]);
               }});
    table.add("xfer_cancel", {{"tab_id"},
                              [] { return Json(false); },
                              [this, text](const Args& a) { return Json(cancel(text(a, 0))); }});
    table.add("xfer_status", {{"tab_id"},
                              [] {
                                  return Json{{"active", false}};
                              },
                              [this, text](const Args& a) { return status(text(a, 0)); }});
    table.add("xfer_pick_files",
              {{}, [] { return Json::array(); }, [this](const Args&) { return pick_files(); }});
    table.add("xfer_open_folder",
              {{"tab_id"},
               [] { return Json(false); },
               [this, text](const Args& a) { return Json(open_received_folder(text(a, 0))); }});
    table.add("xfer_pick_save_dir",
              {{}, [] { return Json(""); }, [this](const Args&) { return Json(pick_save_dir()); }});
}

}  // namespace termiva
