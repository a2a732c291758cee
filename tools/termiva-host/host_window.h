// The headless host's stand-in for the window: every script the application would run
// in the page is written as one JSON line {"call": name, "args": [...]}.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/page_window.h"

namespace termiva::host {

// One JSON object per line on the protocol stream, whole lines only.
class LineWriter {
public:
    explicit LineWriter(std::FILE* out) : m_out(out) {}
    void write(const nlohmann::json& message);

private:
    std::mutex m_lock;
    std::FILE* m_out;
};

// Splits a page call such as `setTerminalInfo("t", "m", false)` or
// `if(window.xferOnEvent) xferOnEvent("t", {...})` into its name and arguments.
// Returns a null value for a script of another shape.
nlohmann::json parse_page_call(const std::string& script);

class HostWindow : public platform::PageWindow {
public:
    explicit HostWindow(LineWriter& out) : m_out(out) {}
    void evaluate_script(const std::string& script) override;
    void show() override {}
    void hide() override {}
    void destroy() override {}

private:
    LineWriter& m_out;
};

}  // namespace termiva::host
