#include "app/notices/third_party_notices.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/import/putty_import.h"
#include "platform/utf8_path.h"
#include "text/utf8.h"

namespace termiva::notices {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr std::string_view METADATA_SUFFIX = ".dist-info";
constexpr std::string_view LABEL_SEPARATOR = " \u00B7 ";

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + platform::path_to_utf8(file));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + platform::path_to_utf8(file));
    text::Utf8Sanitizer sanitizer;
    std::string out;
    sanitizer.decode(bytes, out);
    sanitizer.finish(out);
    return out;
}

std::string without_trailing_space(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

bool is_notice_name(const std::string& name) {
    std::string upper = name;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper.rfind("LICENSE", 0) == 0 || upper.rfind("LICENCE", 0) == 0 || upper == "NOTICE";
}

std::vector<std::string> sorted_names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(platform::path_to_utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

std::string rule() {
    std::string line;
    for (int i = 0; i < 60; ++i)
        line += "\u2500";
    return line;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> read_license_file(const fs::path& dir) {
    struct Candidate {
        std::string sub, name;
        fs::path path;
    };
    std::vector<Candidate> candidates;
    for (const std::string sub : {"", "licenses"}) {
        const fs::path folder = sub.empty() ? dir : dir / sub;
        if (!fs::is_directory(folder)) continue;
        for (const auto& name : sorted_names(folder)) {
            const fs::path path = folder / name;
            if (is_notice_name(name) && fs::is_regular_file(path))
                candidates.push_back({sub, name, path});
        }
    }
    if (candidates.empty()) return std::nullopt;
    // The folder's own files first; plain names before names with an extension.
    std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
        auto key = [](const Candidate& c) {
            return std::make_tuple(!c.sub.empty(), c.name.find('.') != std::string::npos,
                                   std::string_view(c.name));
        };
        return key(a) < key(b);
    });

    std::string labels;
    std::string combined;
    const std::string line = rule();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const auto& c = candidates[i];
        const std::string label = c.sub.empty() ? c.name : c.sub + "/" + c.name;
        const std::string text = without_trailing_space(read_text(c.path));
        if (i > 0) labels += LABEL_SEPARATOR;
        labels += label;
        if (candidates.size() == 1) {
            combined = text;
        } else {
            if (i > 0) combined += "\n\n";
            combined += line + "\n  " + label + "\n" + line + "\n" + text;
        }
    }
    return std::make_pair(labels, combined);
}

Json third_party_licenses(const fs::path& package_root, const fs::path& putty_dir) {
    Json items = Json::array();
    const fs::path putty_licence = putty_dir / "LICENCE";
    if (fs::is_regular_file(putty_licence)) {
        items.push_back({{"name", "PuTTY"},
                         {"version", PuttyImport::read_putty_version(putty_dir)},
                         {"license_file", "LICENCE"},
                         {"body", read_text(putty_licence)}});
    }
    if (fs::exists(package_root)) {
        for (const auto& entry : sorted_names(package_root)) {
            if (entry.size() < METADATA_SUFFIX.size() ||
                entry.compare(entry.size() - METADATA_SUFFIX.size(), METADATA_SUFFIX.size(),
                              METADATA_SUFFIX) != 0)
                continue;
            const std::string base = entry.substr(0, entry.size() - METADATA_SUFFIX.size());
            const auto dash = base.rfind('-');
            const std::string name = dash == std::string::npos ? base : base.substr(0, dash);
            const std::string version = dash == std::string::npos ? "" : base.substr(dash + 1);
            auto notice = read_license_file(package_root / entry);
            if (!notice) continue;
            items.push_back({{"name", name},
                             {"version", version},
                             {"license_file", notice->first},
                             {"body", notice->second}});
        }
    }
    return Json{{"items", items}};
}

}  // namespace termiva::notices
