// Small helpers the transfer engine tests share: short time-outs, file contents.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "transfer/transfer_options.h"

namespace termiva::testing {

// Time-outs short enough for a test, long enough for a loaded machine.
inline TransferOptions fast_options() {
    TransferOptions o;
    o.timeout = std::chrono::milliseconds(500);
    o.char_timeout = std::chrono::milliseconds(200);
    o.start_timeout = std::chrono::milliseconds(3000);
    o.retries = 4;
    return o;
}

// `size` bytes of every value, the same for the same seed.
inline std::string random_content(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace termiva::testing
