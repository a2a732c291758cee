// Page operations that lean on the desktop itself rather than on a tab: the clipboard,
// the browser, the logo images and the notices of the software delivered with us.
#include <chrono>
#include <fstream>
#include <iterator>

#include "app/json_values.h"
#include "app/notices/third_party_notices.h"
#include "app/termiva_app.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace fs = std::filesystem;

namespace {
// The page waits on this call while the user pastes: never longer than this.
constexpr std::chrono::seconds CLIPBOARD_LIMIT{5};
// The logo files are a few kilobytes; a huge file there is not one of them.
constexpr std::uintmax_t MAX_IMAGE = 4 * 1024 * 1024;

std::string base64(const std::string& bytes) {
    static const char* ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += ALPHABET[(v >> 6) & 63];
        out += ALPHABET[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? ALPHABET[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// "data:image/<type>;base64,..." of `file`, "" when it is missing or cannot be read.
std::string data_address(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return "";
    const auto size = fs::file_size(file, ec);
    if (ec || size > MAX_IMAGE) {
        log::warn("get_images", "not read: " + platform::path_to_utf8(file));
        return "";
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        log::warn("get_images", "cannot read " + platform::path_to_utf8(file));
        return "";
    }
    const std::string ext = to_lower(platform::path_to_utf8(file.extension()).substr(1));
    const std::string type = ext == "ico" ? "x-icon" : ext;
    return "data:image/" + type + ";base64," + base64(bytes);
}

}  // namespace

Json TermivaApp::get_images() {
    const fs::path folder = m_module_dir / platform::path_from_utf8("格式範本");
    return Json{{"logo", data_address(folder / "logo.png")},
                {"logo_ico", data_address(folder / "logo.ico")}};
}

bool TermivaApp::open_url(const std::string& url) {
    if (url.empty()) return false;
    auto desktop = m_shell.desktop();
    if (!desktop) return false;
    try {
        return desktop->open_url(url);
    } catch (const std::exception& e) {
        log::warn("open_url", e.what());
    } catch (...) {
        log::warn("open_url", "failed");
    }
    return false;
}

std::pair<fs::path, fs::path> TermivaApp::_license_scan_dirs() const {
    // The program always runs from its program folder (the build lays it out as it is
    // installed), which holds the metadata folders itself.
    return {m_module_dir, m_module_dir / platform::path_from_utf8("Putty原始檔案")};
}

std::optional<std::pair<std::string, std::string>> TermivaApp::_read_license_file(
    const fs::path& dirpath) {
    return notices::read_license_file(dirpath);
}

Json TermivaApp::get_third_party_licenses() {
    const auto [package_root, putty_dir] = _license_scan_dirs();
    return notices::third_party_licenses(package_root, putty_dir);
}

std::string TermivaApp::read_clipboard() {
    auto desktop = m_shell.desktop();
    if (!desktop) return "";
    try {
        return desktop->read_clipboard(CLIPBOARD_LIMIT).value_or("");
    } catch (const std::exception& e) {
        log::warn("read_clipboard", e.what());
    } catch (...) {
        log::warn("read_clipboard", "failed");
    }
    return "";
}

void TermivaApp::register_desktop_bridge() {
    m_bridge.add("read_clipboard",
                 {{},
                  [] { return Json(""); },
                  [this](const std::vector<Json>&) { return Json(read_clipboard()); }});
    m_bridge.add("get_images", {{},
                                [] {
                                    return Json{{"logo", ""}, {"logo_ico", ""}};
                                },
                                [this](const std::vector<Json>&) { return get_images(); }});
    m_bridge.add("open_url", {{{"url"}},
                              [] { return Json(false); },
                              [this](const std::vector<Json>& a) {
                                  return Json(open_url(a[0].get<std::string>()));
                              }});
    m_bridge.add("get_third_party_licenses",
                 {{},
                  [] {
                      return Json{{"items", Json::array()}};
                  },
                  [this](const std::vector<Json>&) { return get_third_party_licenses(); }});
}

}  // namespace termiva
