#include "app/esp/esp_tools.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include "app/json_values.h"
#include "app/serial/serial_tabs.h"
#include "platform/bounded_json.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace {

// An ESP flashing job in a tab's job slot.
class EspFlashJob : public Job {
public:
    template <typename... Args>
    explicit EspFlashJob(Args&&... args) : m_flasher(std::forward<Args>(args)...) {}
    void start() override { m_flasher.start(); }
    void feed(std::string_view data) override { m_flasher.feed(data); }
    bool is_done() const override { return m_flasher.is_done(); }
    void cancel() override { m_flasher.cancel(); }

private:
    flashwright::EspFlasher m_flasher;
};

std::shared_ptr<platform::SerialPort> port_of(const TabPtr& tab) {
    std::lock_guard lock(tab->lock);
    return termiva::port_of(*tab);
}

std::string base_name(const std::string& path) {
    return platform::path_to_utf8(platform::path_from_utf8(path).filename());
}

// Flashing speeds the dialog offers run from 115200 to 2000000; anything a driver may take
// is let through, nonsense is not.
constexpr long long MIN_FLASH_BAUD = 9600;
constexpr long long MAX_FLASH_BAUD = 5000000;

}  // namespace

std::optional<flashwright::Mode> EspTools::parse_mode(const std::string& mode) {
    if (mode == "esp-flash") return flashwright::Mode::Flash;
    if (mode == "esp-erase-flash") return flashwright::Mode::EraseFlash;
    return std::nullopt;
}

flashwright::FlasherOptions EspTools::job_options(const Json& opts, int line_baud) {
    flashwright::FlasherOptions out;
    if (!member(opts, "chip").is_null()) out.chip = text_of(member(opts, "chip"));
    const std::string interface = text_field(opts, "interface", "auto");
    // An interface the job does not know starts with the UART entry and never switches.
    out.interface = interface == "auto"       ? flashwright::Interface::Auto
                    : interface == "usb-jtag" ? flashwright::Interface::UsbJtag
                                              : flashwright::Interface::Uart;
    out.compress = bool_field(opts, "compress", true);
    out.auto_reset_after = bool_field(opts, "auto_reset_after", true);
    out.verify = bool_field(opts, "verify", true);
    out.line_baud = line_baud > 0 ? static_cast<std::uint32_t>(line_baud) : 0;
    const auto fast = to_integer(member(opts, "flash_baud"));
    if (fast && *fast >= MIN_FLASH_BAUD && *fast <= MAX_FLASH_BAUD)
        out.flash_baud = static_cast<std::uint32_t>(*fast);
    const auto size = to_integer(member(opts, "flash_size"));
    if (size && *size > 0 && *size <= (1LL << 31))
        out.flash_size = static_cast<std::uint32_t>(*size);
    return out;
}

Json EspTools::worded_event(const flashwright::FlasherEvent& event) const {
    Json out = flashwright::event_json(event);
    // A code the catalog lacks keeps the library's English.
    auto word = [this, &out](const char* field, const flashwright::Message& message) {
        const std::string key = "esp.msg." + message.code;
        std::string text =
            m_host.translate(key, MessageArgs(message.values.begin(), message.values.end()));
        if (text != key) out[field] = std::move(text);
    };
    if (event.kind == flashwright::EventKind::Phase)
        word("title", flashwright::phase_title(event.phase));
    if (event.message.code.empty()) return out;
    word(event.kind == flashwright::EventKind::Phase  ? "detail"
         : event.kind == flashwright::EventKind::Done ? "reason"
                                                      : "text",
         event.message);
    return out;
}

std::optional<long long> EspTools::parse_offset(const Json& raw) {
    if (raw.is_string()) {
        std::string text = raw.get<std::string>();
        const auto b = text.find_first_not_of(" \t");
        const auto e = text.find_last_not_of(" \t");
        text = b == std::string::npos ? "" : text.substr(b, e - b + 1);
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            long long value = 0;
            for (std::size_t i = 2; i < text.size(); ++i) {
                const int c = std::tolower(static_cast<unsigned char>(text[i]));
                int digit;
                if (c >= '0' && c <= '9') {
                    digit = c - '0';
                } else if (c >= 'a' && c <= 'f') {
                    digit = c - 'a' + 10;
                } else {
                    return std::nullopt;
                }
                if (value > (std::numeric_limits<long long>::max() - digit) / 16)
                    return std::nullopt;
                value = value * 16 + digit;
            }
            return value;
        }
        return to_integer(raw);
    }
    if (raw.is_number() || raw.is_boolean()) return to_integer(raw);
    return std::nullopt;
}

bool EspTools::_fire_esp_reset(const std::string& tab_id, const std::string& mode) {
    const std::string tag = "esp_reset:" + mode;
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) {
        log::warn(tag, "tab " + tab_id + " not found");
        return false;
    }
    auto port = port_of(tab);
    if (!port || !port->is_open()) {
        log::warn(tag, std::string("ser=") + (port ? "<serial " + port->name() + ">" : "None") +
                           " open=" + (port ? "False" : "None"));
        return false;
    }
    log::info(tag, "dispatching to worker thread");
    m_host.spawn([this, tab_id, port, mode, tag] {
        try {
            if (mode == "hard_reset") {
                port->hard_reset();
            } else {
                port->enter_bootloader();
            }
            log::info(tag, "done");
        } catch (const std::exception& e) {
            log::warn(tag, e.what());
            // The button was pressed in the tab: the tab says why nothing happened (a port
            // without modem lines, a device gone).
            m_host.push_info(tab_id, m_host.translate("esp.reset_failed", {{"error", e.what()}}),
                             true);
        }
    });
    return true;
}

flashwright::SetBaud EspTools::_esp_set_baud(const std::string& tab_id) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) return {};
    return [tab](std::uint32_t baud) {
        auto port = port_of(tab);
        if (!port) throw platform::SerialError("the serial port is not open");
        port->set_baudrate(static_cast<int>(baud));
    };
}

flashwright::ResetFuncs EspTools::_esp_reset_funcs(const std::string& tab_id) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab || !port_of(tab)) return {};
    // The port the tab holds when the reset is asked for: after a reconnect that is a new
    // object, and the one the map was made with is closed.
    auto current = [tab] {
        auto port = port_of(tab);
        if (!port) throw platform::SerialError("the serial port is not open");
        return port;
    };
    return {{"hard_reset", [current] { current()->hard_reset(); }},
            {"enter_bootloader_uart", [current] { current()->enter_bootloader(); }},
            {"enter_bootloader_usb", [current] { current()->enter_bootloader_usb_jtag(); }}};
}

Json EspTools::esp_flash_start(const std::string& tab_id, const std::string& mode,
                               const Json& files, const Json& options) {
    auto refuse = [](const std::string& reason) { return Json{{"ok", false}, {"reason", reason}}; };
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) return refuse(m_host.translate("err.tab_not_found"));
    if (m_transfer.busy(tab_id)) return refuse(m_host.translate("esp.reason.busy"));
    int line_baud = 0;
    {
        std::lock_guard lock(tab->lock);
        if (!termiva::port_of(*tab)) return refuse(m_host.translate("esp.reason.not_serial"));
        if (tab->session) line_baud = SerialTabs::settings_of(*tab->session).baudrate;
    }
    Json opts = options.is_object() ? options : Json::object();
    const std::string chip =
        member(opts, "chip").is_null() ? "auto" : text_of(member(opts, "chip"));
    if (chip != "auto" && !flashwright::find_chip(chip))
        return refuse(m_host.translate("esp.reason.unknown_chip", {{"chip", chip}}));

    const auto job_mode = parse_mode(mode);
    if (!job_mode) return refuse(m_host.translate("esp.reason.unknown_mode", {{"mode", mode}}));
    const flashwright::FlasherOptions job_opts = job_options(opts, line_baud);
    // Without a loader program the whole flash is erased region by region, which needs its
    // size: refused here, before anything reaches the board.
    if (*job_mode == flashwright::Mode::EraseFlash && job_opts.flash_size == 0)
        return refuse(m_host.translate("esp.reason.erase_needs_size"));

    std::vector<flashwright::FlashFile> cleaned;
    if (*job_mode == flashwright::Mode::Flash) {
        if (!files.is_array() || files.empty())
            return refuse(m_host.translate("esp.reason.need_files"));
        for (const auto& entry : files) {
            const std::string path = text_of(member(entry, "path"));
            const Json& raw = member(entry, "offset");
            const auto offset = parse_offset(raw);
            if (!offset) {
                return refuse(m_host.translate(
                    "esp.reason.bad_offset",
                    {{"filename", base_name(path)},
                     {"offset", raw.is_string() ? raw.get<std::string>() : raw.dump()}}));
            }
            cleaned.push_back({path, *offset});
        }
    }

    // Set before the job can report anything: its "done" must free only its own slot.
    auto source = std::make_shared<const Job*>(nullptr);
    auto job = std::make_shared<EspFlashJob>(
        *job_mode, std::move(cleaned), job_opts,
        [this, tab_id](const std::string& bytes) { m_transfer.send_bytes(tab_id, bytes); },
        _esp_reset_funcs(tab_id),
        [this, tab_id, source](const flashwright::FlasherEvent& ev) {
            m_transfer.on_event(tab_id, worded_event(ev), *source);
        },
        std::nullopt, flashwright::FlasherTiming{}, _esp_set_baud(tab_id));
    *source = job.get();
    // The busy check again, with taking the slot, under one lock: of two starts at the
    // same moment only one wins.
    switch (
        m_transfer.occupy(tab, job, [](const Tab& t) { return termiva::port_of(t) != nullptr; })) {
        case TransferCoordinator::Occupy::taken:
            break;
        case TransferCoordinator::Occupy::busy:
            return refuse(m_host.translate("esp.reason.busy"));
        case TransferCoordinator::Occupy::refused:
            return refuse(m_host.translate("esp.reason.not_serial"));
    }

    const std::string interface =
        member(opts, "interface").is_null() ? "auto" : text_of(member(opts, "interface"));
    Json rec;
    {
        std::lock_guard lock(tab->lock);
        if (tab->session) rec = tab->session->stored;
    }
    const Json remembered{{"esp_interface", interface},
                          {"esp_chip", chip},
                          {"esp_flash_baud", job_opts.flash_baud},
                          {"esp_verify", job_opts.verify},
                          {"esp_flash_size", job_opts.flash_size}};
    bool changed = false;
    for (const auto& [key, value] : remembered.items())
        changed = changed || member(rec, key) != value;
    if (rec.is_object() && changed) {
        for (const auto& [key, value] : remembered.items())
            rec[key] = value;
        bool stored = false;
        for (const auto& s : m_store.sessions_json())
            stored = stored || member(s, "id") == member(rec, "id");
        if (stored) {
            m_host.save_session(rec);
        } else {
            // A session deleted while its tab stays open is not brought back by a flash.
            std::lock_guard lock(tab->lock);
            tab->session = std::make_shared<const Session>(rec);
        }
    }
    job->start();
    return Json{{"ok", true}};
}

Json EspTools::esp_flash_pick_files() {
    Json out = Json::array();
    auto desktop = m_shell.desktop();
    if (!desktop) return out;
    auto chosen = desktop->pick_files(m_host.translate("esp.dialog.pick_bin"),
                                      {{"Firmware Binary", {"*.bin"}}, {"All Files", {"*.*"}}},
                                      true, std::chrono::seconds(300));
    if (chosen) {
        for (const auto& p : *chosen)
            out.push_back(platform::path_to_utf8(std::filesystem::absolute(p)));
    }
    return out;
}

Json EspTools::esp_files_from_build_dir(const std::string& dir) {
    namespace fs = std::filesystem;
    const fs::path root = platform::path_from_utf8(dir);
    std::vector<std::pair<long long, std::string>> listed;
    std::error_code ec;
    const auto json_file = root / "flasher_args.json";
    const auto text_file = root / "flash_args";
    try {
        if (fs::is_regular_file(json_file, ec)) {
            std::ifstream in(json_file);
            std::stringstream text;
            text << in.rdbuf();
            const Json doc = platform::parse_json_bounded(text.str(), true);
            const Json& files = member(doc, "flash_files");
            if (!files.is_object())
                throw std::runtime_error("flasher_args.json has no flash_files");
            for (auto it = files.begin(); it != files.end(); ++it) {
                const auto offset = parse_offset(Json(it.key()));
                if (!offset || !it.value().is_string())
                    throw std::runtime_error("flasher_args.json lists " + it.key() + " oddly");
                listed.emplace_back(*offset, it.value().get<std::string>());
            }
        } else if (fs::is_regular_file(text_file, ec)) {
            std::ifstream in(text_file);
            std::string line;
            while (std::getline(in, line)) {
                std::istringstream words(line);
                std::string first, second;
                if (!(words >> first) || first.rfind("--", 0) == 0) continue;  // options line
                if (!(words >> second))
                    throw std::runtime_error("flash_args line \"" + line + "\" has no file");
                const auto offset = parse_offset(Json(first));
                if (!offset)
                    throw std::runtime_error("flash_args line \"" + line + "\" has no offset");
                listed.emplace_back(*offset, second);
            }
        } else {
            return Json{{"ok", false}, {"reason", "no flasher_args.json or flash_args in " + dir}};
        }
    } catch (const std::exception& e) {
        return Json{{"ok", false}, {"reason", e.what()}};
    }
    std::sort(listed.begin(), listed.end());
    Json out = Json::array();
    for (const auto& [offset, rel] : listed) {
        const fs::path given = platform::path_from_utf8(rel);
        const fs::path path = given.is_absolute() ? given : root / given;
        if (!fs::is_regular_file(path, ec))
            return Json{{"ok", false}, {"reason", "missing image " + platform::path_to_utf8(path)}};
        std::ostringstream hex;
        hex << "0x" << std::hex << std::uppercase << offset;
        out.push_back(
            Json{{"path", platform::path_to_utf8(path.lexically_normal())}, {"offset", hex.str()}});
    }
    if (out.empty()) return Json{{"ok", false}, {"reason", "the build folder lists no images"}};
    return Json{{"ok", true}, {"files", out}};
}

std::string EspTools::esp_pick_build_dir() {
    auto desktop = m_shell.desktop();
    if (!desktop) return {};
    auto chosen =
        desktop->pick_folder(m_host.translate("esp.dialog.pick_bin"), std::chrono::seconds(300));
    return chosen ? platform::path_to_utf8(*chosen) : std::string();
}

Json EspTools::esp_guess_offset(const std::string& filename, const std::string& chip) {
    std::optional<std::string> known;
    if (!chip.empty() && chip != "auto") known = chip;
    auto offset = flashwright::guess_offset(filename, known);
    return offset ? Json(*offset) : Json();
}

long long EspTools::esp_file_size(const std::string& path) {
    if (path.empty()) return -1;
    std::error_code ec;
    const std::filesystem::path file = platform::path_from_utf8(path);
    if (!std::filesystem::is_regular_file(file, ec)) return -1;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? -1 : static_cast<long long>(size);
}

Json EspTools::esp_chip_list() {
    Json out = Json::array();
    for (const auto& [key, info] : flashwright::CHIP_TABLE)
        out.push_back(Json{{"key", key}, {"name", info.name}});
    return out;
}

Json EspTools::esp_get_session_prefs(const std::string& tab_id) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) return Json::object();
    SessionPtr sess;
    {
        std::lock_guard lock(tab->lock);
        sess = tab->session;
    }
    // The flashing choices are ESP's own keys of the stored record.
    const Json stored = sess ? sess->stored : Json();
    const auto baud = to_integer(member(stored, "esp_flash_baud"));
    const auto size = to_integer(member(stored, "esp_flash_size"));
    return Json{{"esp_interface", text_field(stored, "esp_interface", "auto")},
                {"esp_chip", text_field(stored, "esp_chip", "auto")},
                {"esp_flash_baud", baud && *baud > 0 ? *baud : DEFAULT_FLASH_BAUD},
                {"esp_verify", bool_field(stored, "esp_verify", true)},
                {"esp_flash_size", size ? *size : 0}};
}

}  // namespace termiva
