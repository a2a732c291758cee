// Private keys for SSH-2 tabs: PuTTY keys are converted to OpenSSH format by puttygen
// into an owner-only temporary file; and the page's key file picker.
#include <random>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"
#include "platform/assistant_program.h"
#include "platform/desktop.h"
#include "platform/new_file.h"
#include "platform/utf8_path.h"
#include "text/utf8.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;

constexpr auto CONVERTER_LIMIT = std::chrono::seconds(15);
constexpr auto PICKER_LIMIT = std::chrono::seconds(180);

// "termiva_" + 10 random hexadecimal digits + ".pem" in the temporary folder.
fs::path temporary_key_path() {
    static thread_local std::mt19937_64 random(std::random_device{}());
    const char* hex = "0123456789abcdef";
    std::string name = "termiva_";
    for (int i = 0; i < 10; ++i)
        name += hex[random() % 16];
    return fs::temp_directory_path() / (name + ".pem");
}

std::string utf8_replaced(const std::string& bytes) {
    std::string out;
    text::Utf8Sanitizer sanitizer;
    sanitizer.decode(bytes, out);
    sanitizer.finish(out);
    return out;
}

std::string trim_end(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::pair<std::optional<fs::path>, std::optional<std::string>> TermivaApp::_ensure_openssh_key(
    const std::string& key_path) {
    std::error_code ec;
    const fs::path key_file = platform::path_from_utf8(key_path);
    if (key_path.empty() || !fs::is_regular_file(key_file, ec)) {
        return {std::nullopt, _t("err.no_key_file")};
    }
    if (to_lower(platform::path_to_utf8(key_file.extension())) != ".ppk") {
        return {key_file, std::nullopt};
    }
    if (!puttygen_exe || puttygen_exe->empty()) return {std::nullopt, _t("err.need_puttygen")};

    fs::path output;
    for (int attempt = 0; attempt < 5 && output.empty(); ++attempt) {
        const fs::path candidate = temporary_key_path();
        // Owner-only before the converter fills it: the secret is never readable by
        // others, not even for a moment.
        if (platform::create_private_file(candidate)) output = candidate;
    }
    if (output.empty()) {
        return {std::nullopt,
                _t("err.puttygen_exec_fail", {{"err", "cannot create a temporary key file"}})};
    }
    try {
        const ProcessResult result =
            run_with_time_limit({platform::path_to_utf8(*puttygen_exe), key_path, "-O",
                                 "private-openssh", "-o", platform::path_to_utf8(output)},
                                CONVERTER_LIMIT);
        if (result.exit_code == 0 && fs::is_regular_file(output, ec) &&
            fs::file_size(output, ec) > 0) {
            // The converter may have made the file anew under its own mode.
            fs::permissions(output, fs::perms::owner_read | fs::perms::owner_write,
                            fs::perm_options::replace, ec);
            return {output, std::nullopt};
        }
        fs::remove(output, ec);
        return {std::nullopt,
                _t("err.puttygen_fail", {{"err", trim_end(utf8_replaced(result.err))}})};
    } catch (const std::exception& e) {
        fs::remove(output, ec);
        return {std::nullopt, _t("err.puttygen_exec_fail", {{"err", e.what()}})};
    }
}

std::string TermivaApp::pick_private_key() {
    auto desktop = m_shell.desktop();
    if (!desktop) return "";
    const std::vector<platform::FileFilter> filters = {{"All keys", {"*.ppk", "*.pem", "*.key"}},
                                                       {"PuTTY Private Key", {"*.ppk"}},
                                                       {"OpenSSH PEM", {"*.pem", "*.key"}},
                                                       {"All Files", {"*.*"}}};
    // Keys live in a hidden folder, and most have hidden-looking neighbours there.
    const platform::PickStart keys{platform::home_dir() / ".ssh", true};
    const auto chosen =
        desktop->pick_files(_t("dialog.pick_key"), filters, false, PICKER_LIMIT, keys);
    if (!chosen || chosen->empty()) return "";
    return platform::path_to_utf8(chosen->front());
}

void TermivaApp::register_ssh_bridge() {
    m_bridge.add("pick_private_key",
                 {{},
                  [] { return Json(""); },
                  [this](const std::vector<Json>&) { return Json(pick_private_key()); }});
}

}  // namespace termiva
