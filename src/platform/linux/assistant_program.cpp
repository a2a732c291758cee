#include "platform/assistant_program.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <system_error>

#include "platform/paths.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

std::string env_text(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

fs::path normalised(const fs::path& p) {
    fs::path n = p.lexically_normal();
    std::string s = n.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return fs::path(s);
}

// npm's global prefix as npm itself would compute it, without starting npm (slow).
std::optional<fs::path> npm_global_bin() {
    std::string prefix = env_text("NPM_CONFIG_PREFIX");
    if (prefix.empty()) prefix = env_text("npm_config_prefix");
    if (!prefix.empty()) return fs::path(prefix) / "bin";
    if (auto node = find_on_search_path("node")) {
        std::error_code ec;
        fs::path real = fs::canonical(*node, ec);
        return (ec ? *node : real).parent_path();
    }
    return std::nullopt;
}

}  // namespace

fs::path home_dir() {
    std::string home = env_text("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::vector<std::string> assistant_program_names() {
    return {"claude"};
}

std::vector<fs::path> assistant_program_candidates() {
    const fs::path home = home_dir();
    std::vector<fs::path> out{home / ".local" / "bin" / "claude",
                              home / ".claude" / "local" / "claude"};
    if (auto bin = npm_global_bin()) out.push_back(*bin / "claude");
    return out;
}

bool is_program_file(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec) && ::access(file.c_str(), X_OK) == 0;
}

std::vector<std::string> assistant_install_command() {
    const char* package = "@anthropic-ai/claude-code";
    if (auto npm = find_on_search_path("npm")) {
        std::vector<std::string> cmd{npm->string(), "install", "-g", "--no-audit", "--no-fund"};
        // Without write access to the global folder (an ordinary user), install for this
        // user alone: ~/.local/bin is one of the places the lookup checks.
        auto bin = npm_global_bin();
        if (bin && ::access(bin->parent_path().c_str(), W_OK) != 0) {
            cmd.push_back("--prefix");
            cmd.push_back((home_dir() / ".local").string());
        }
        cmd.push_back(package);
        return cmd;
    }
    return {"/bin/sh", "-c", "curl -fsSL https://claude.ai/install.sh | bash"};
}

std::vector<fs::path> assistant_install_dirs() {
    std::vector<fs::path> dirs{home_dir() / ".local" / "bin", home_dir() / ".claude" / "local"};
    if (auto bin = npm_global_bin()) dirs.push_back(*bin);
    return dirs;
}

bool runs_as_administrator() {
    return ::geteuid() == 0;
}

std::string add_to_search_path(const std::vector<fs::path>& dirs) {
    std::vector<std::string> pieces;
    std::vector<fs::path> seen;
    std::istringstream current(env_text("PATH"));
    std::string piece;
    while (std::getline(current, piece, ':')) {
        if (piece.empty()) continue;
        pieces.push_back(piece);
        seen.push_back(normalised(piece));
    }
    for (const auto& dir : dirs) {
        std::error_code ec;
        if (dir.empty() || !fs::is_directory(dir, ec)) continue;
        const fs::path n = normalised(dir);
        bool known = false;
        for (const auto& s : seen)
            known = known || s == n;
        if (known) continue;
        pieces.push_back(dir.string());
        seen.push_back(n);
    }
    std::string joined;
    for (const auto& p : pieces)
        joined += (joined.empty() ? "" : ":") + p;
    ::setenv("PATH", joined.c_str(), 1);
    return joined;
}

}  // namespace termiva::platform
