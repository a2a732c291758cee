#include "flashwright_job_harness.h"

namespace flashwright::testing {

JobHarness::JobHarness(FlasherOptions options, Mode mode, std::filesystem::path stub_dir) {
    FlasherTiming timing;
    timing.cmd_timeout = 0.3;
    timing.drain_idle = 0.01;
    timing.flush_poll = 0.005;
    timing.ohai_timeout = 0.2;
    m_job = std::make_unique<detail::FlasherJob>(
        mode, std::vector<FlashFile>{}, std::move(options),
        [this](const std::string& b) {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(b);
        },
        ResetFuncs{},
        [this](const FlasherEvent& e) {
            std::lock_guard lock(m_mutex);
            m_events.push_back(event_json(e));
        },
        std::move(stub_dir), timing, SetBaud{});
}

std::vector<std::string> JobHarness::sent() const {
    std::lock_guard lock(m_mutex);
    return m_sent;
}

std::vector<nlohmann::json> JobHarness::events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::string frame(const std::string& payload) {
    std::string out = "\xC0";
    for (char c : payload) {
        if (c == '\xC0') {
            out += "\xDB\xDC";
        } else if (c == '\xDB') {
            out += "\xDB\xDD";
        } else {
            out += c;
        }
    }
    return out + "\xC0";
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

std::string JobHarness::response(std::uint8_t op, std::uint32_t value, const std::string& body) {
    std::string pkt =
        bytes({0x01, op, static_cast<int>(body.size() & 0xFF), static_cast<int>(body.size() >> 8)});
    for (int s = 0; s < 32; s += 8)
        pkt += static_cast<char>((value >> s) & 0xFF);
    return frame(pkt + body);
}

}  // namespace flashwright::testing
