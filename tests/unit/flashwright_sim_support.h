// Helpers shared by the tests that run flashing jobs against the simulated board.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "esp_sim_firmware.h"
#include "esp_sim_rig.h"
#include "esp_sim_stub.h"
#include "reference_md5.h"
#include "support/test_support.h"

namespace flashwright::testing {

inline std::string write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    return path.string();
}

inline std::uint32_t le32(const std::string& data, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(data[at + i]);
    return v;
}

inline std::string md5_hex(const std::string& data) {
    const std::string digest = termiva::testing::reference_md5(data.data(), data.size());
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += DIGITS[c >> 4];
        out += DIGITS[c & 0xF];
    }
    return out;
}

// The commands the board received with one opcode, in order.
inline std::vector<esp_sim::CommandRecord> commands_with(const esp_sim::EspSimulator& sim,
                                                         std::uint8_t op) {
    std::vector<esp_sim::CommandRecord> out;
    for (const auto& c : sim.commands()) {
        if (c.op == op) out.push_back(c);
    }
    return out;
}

// "kind:name-or-text" of every event except progress, for order comparisons.
inline std::vector<std::string> event_outline(const std::vector<nlohmann::json>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        const std::string kind = e.value("kind", "");
        if (kind == "phase") out.push_back("phase:" + e.value("name", ""));
        if (kind == "log") out.push_back("log:" + e.value("text", ""));
        if (kind == "file_done") out.push_back("file_done:" + e.value("filename", ""));
        if (kind == "progress") out.push_back("progress:" + e.value("filename", ""));
        if (kind == "done") out.push_back("done:" + e.value("reason", ""));
    }
    return out;
}

// Writes a synthetic stub for `chip` into `dir`.
inline esp_sim::SyntheticStub install_stub(const std::filesystem::path& dir,
                                           const std::string& chip, bool with_data) {
    auto stub = esp_sim::make_synthetic_stub(5, with_data);
    write_file(dir / (chip + ".json"), stub.to_json().dump());
    return stub;
}

}  // namespace flashwright::testing
