// A stand-in for the `claude` program, written by the tests: a shell script that records
// each run (arguments, standard input, environment) in its folder and answers as the
// file "mode" there says. First on PATH while a FakeClaude lives.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace termiva::testing {

class FakeClaude {
public:
    // Modes: "ok" (JSON answer with session id "sess-<run>"), "plain" (text answer),
    // "api <status>" (an error object, exit 1), "api-text <status>" (status given as
    // text), "exit3" (stderr text, exit 3), "silent-exit" (no output, exit 5),
    // "notlogged" (the not-logged-in object), "noresume" (a --resume run fails on
    // stderr, others answer), "hang" (starts a sleeping child, then sleeps), "error0"
    // (an error object with exit 0), "reply <text>" (prints the text).
    explicit FakeClaude(const std::filesystem::path& dir) : m_dir(dir) {
        std::filesystem::create_directories(dir / "bin");
        const auto script = dir / "bin" / "claude";
        std::ofstream(script) << R"SH(#!/bin/sh
d="$FAKE_CLAUDE_DIR"
if [ "$1" = "--version" ]; then echo "9.8.7 (Claude Code)"; exit 0; fi
n=$(cat "$d/count" 2>/dev/null || echo 0); n=$((n+1)); echo $n > "$d/count"
for a in "$@"; do printf '%s\n\036\n' "$a"; done > "$d/args.$n"
cat > "$d/stdin.$n"
env > "$d/env.$n"
mode=$(cat "$d/mode" 2>/dev/null || echo ok)
case "$mode" in
  "reply "*) printf '%s\n' "${mode#reply }" ;;
  ok) printf '{"type":"result","is_error":false,"result":"answer %s","session_id":"sess-%s"}\n' "$n" "$n" ;;
  plain) echo "  plain text answer  " ;;
  "api "*) s=${mode#api }; printf '{"is_error":true,"api_error_status":%s,"result":"API Error: %s boom","session_id":"err-%s"}\n' "$s" "$s" "$n"; exit 1 ;;
  "api-text "*) s=${mode#api-text }; printf '{"is_error":true,"api_error_status":"%s","result":"API Error: %s boom"}\n' "$s" "$s"; exit 1 ;;
  exit3) echo "something broke" >&2; exit 3 ;;
  silent-exit) exit 5 ;;
  notlogged) printf '{"is_error":true,"api_error_status":null,"result":"Not logged in · Please run /login","session_id":"x"}\n'; exit 1 ;;
  noresume)
    for a in "$@"; do if [ "$a" = "--resume" ]; then echo "No conversation found with session ID: gone" >&2; exit 1; fi; done
    printf '{"is_error":false,"result":"fresh %s","session_id":"new-%s"}\n' "$n" "$n" ;;
  error0) printf '{"is_error":true,"api_error_status":429,"result":"slow down","session_id":"kept-%s"}\n' "$n" ;;
  hang) sleep 300 & echo $! > "$d/child.pid"; echo $$ > "$d/self.pid"; wait ;;
esac
exit 0
)SH";
        ::chmod(script.c_str(), 0755);
        m_old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
        ::setenv("PATH", ((dir / "bin").string() + ":" + m_old_path).c_str(), 1);
        ::setenv("FAKE_CLAUDE_DIR", dir.c_str(), 1);
    }
    ~FakeClaude() { ::setenv("PATH", m_old_path.c_str(), 1); }
    FakeClaude(const FakeClaude&) = delete;
    FakeClaude& operator=(const FakeClaude&) = delete;

    std::filesystem::path program() const { return m_dir / "bin" / "claude"; }
    void mode(const std::string& m) const { std::ofstream(m_dir / "mode") << m; }
    int runs() const {
        std::ifstream in(m_dir / "count");
        int n = 0;
        in >> n;
        return n;
    }
    // The arguments of run `n` (1-based), the program itself left out.
    std::vector<std::string> args(int n) const {
        std::ifstream in(m_dir / ("args." + std::to_string(n)));
        std::vector<std::string> out;
        std::string line, current;
        bool first = true;
        while (std::getline(in, line)) {
            if (line == "\036") {
                out.push_back(current);
                current.clear();
                first = true;
            } else {
                current += (first ? "" : "\n") + line;
                first = false;
            }
        }
        return out;
    }
    std::string stdin_text(int n) const { return read("stdin." + std::to_string(n)); }
    std::string env_text(int n) const { return read("env." + std::to_string(n)); }
    std::string read(const std::string& name) const {
        std::ifstream in(m_dir / name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    const std::filesystem::path& dir() const { return m_dir; }

private:
    std::filesystem::path m_dir;
    std::string m_old_path;
};

}  // namespace termiva::testing
