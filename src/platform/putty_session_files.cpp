// PuTTY's saved sessions as files (PuTTY on Unix): one file per session, named by the
// escaped session name, holding one "Key=Value" line per setting.
#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>

#include "platform/log.h"
#include "platform/putty_sessions.h"
#include "platform/utf8_path.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

// A session file is a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t MAX_SESSION_FILE = 1024 * 1024;

std::optional<long long> whole_integer(const std::string& text) {
    long long number = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return number;
}

class SessionFile : public PuttySession {
public:
    explicit SessionFile(std::map<std::string, std::string> values) : m_values(std::move(values)) {}

    std::optional<PuttyValue> value(const std::string& name, PuttyValueKind kind) const override {
        auto found = m_values.find(name);
        if (found == m_values.end()) return std::nullopt;
        if (kind == PuttyValueKind::integer) {
            if (auto number = whole_integer(found->second)) return PuttyValue(*number);
        }
        return PuttyValue(found->second);
    }

private:
    std::map<std::string, std::string> m_values;
};

class SessionFiles : public PuttySessionStore {
public:
    explicit SessionFiles(fs::path dir) : m_dir(std::move(dir)) {}

    std::vector<std::string> session_names() const override {
        std::vector<std::string> names;
        std::error_code ec;
        fs::directory_iterator it(m_dir, ec);
        if (ec) return names;  // no saved sessions: PuTTY creates the folder on first save
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) break;
            std::error_code type_ec;
            if (it->is_regular_file(type_ec)) names.push_back(path_to_utf8(it->path().filename()));
        }
        if (ec) log::warn("putty", "listing " + path_to_utf8(m_dir) + " stopped: " + ec.message());
        // Directory order is arbitrary; the list shows in the same order every time.
        std::sort(names.begin(), names.end());
        return names;
    }

    std::unique_ptr<PuttySession> open_session(const std::string& escaped_name) const override {
        if (escaped_name.empty() || escaped_name == "." || escaped_name == ".." ||
            escaped_name.find_first_of("/\\") != std::string::npos)
            return nullptr;
        const fs::path file = m_dir / path_from_utf8(escaped_name);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) return nullptr;
        const auto size = fs::file_size(file, ec);
        if (ec || size > MAX_SESSION_FILE) {
            log::warn("putty", "not a session file: " + path_to_utf8(file));
            return nullptr;
        }
        std::ifstream in(file, std::ios::binary);
        if (!in) return nullptr;
        std::map<std::string, std::string> values;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const auto equals = line.find('=');
            if (equals == std::string::npos) continue;
            // The first line for a key counts, as for a key that appears once.
            values.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
        if (in.bad()) return nullptr;
        return std::make_unique<SessionFile>(std::move(values));
    }

private:
    fs::path m_dir;
};

}  // namespace

std::shared_ptr<PuttySessionStore> putty_session_files(fs::path sessions_dir) {
    return std::make_shared<SessionFiles>(std::move(sessions_dir));
}

}  // namespace termiva::platform
