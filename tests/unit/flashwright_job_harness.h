// A flashing job's internals driven directly by a test: frames sent by the job are captured,
// answers are fed in by hand.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "flasher_job.h"

namespace flashwright::testing {

class JobHarness {
public:
    explicit JobHarness(FlasherOptions options = {}, Mode mode = Mode::Flash,
                        std::filesystem::path stub_dir = "/nonexistent-stub-dir");

    detail::FlasherJob& job() { return *m_job; }
    std::vector<std::string> sent() const;
    std::vector<nlohmann::json> events() const;

    // One response frame (SLIP-encoded) as a loader would send it.
    static std::string response(std::uint8_t op, std::uint32_t value, const std::string& body);

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_sent;
    std::vector<nlohmann::json> m_events;
    std::unique_ptr<detail::FlasherJob> m_job;
};

// Hand-made SLIP framing for building test input independently of the job's encoder.
std::string frame(const std::string& payload);
std::string bytes(std::initializer_list<int> values);

}  // namespace flashwright::testing
