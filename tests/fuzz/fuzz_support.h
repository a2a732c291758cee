// What the libFuzzer targets share: a checked condition that aborts (so the fuzzer keeps
// the input), cutting one input into chunks, and a scratch folder for received files.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace termiva::fuzz {

#define TERMIVA_FUZZ_CHECK(cond)                                                          \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// Splits `data` into pieces whose lengths come from `seed` (1..max bytes each), so the
// same input is also tried cut up as a peer's packets would arrive.
inline std::vector<std::string_view> chunks(std::string_view data, std::uint8_t seed,
                                            std::size_t max = 16) {
    std::vector<std::string_view> out;
    std::uint32_t state = seed * 2654435761u + 1;
    std::size_t pos = 0;
    while (pos < data.size()) {
        state = state * 1103515245u + 12345u;
        std::size_t n = 1 + (state >> 16) % max;
        n = std::min(n, data.size() - pos);
        out.push_back(data.substr(pos, n));
        pos += n;
    }
    return out;
}

// A folder of this process for files a receiver writes; emptied after every input.
class ScratchDir {
public:
    ScratchDir()
        : m_path(std::filesystem::temp_directory_path() /
                 ("termiva-fuzz-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& path() const { return m_path; }
    void clear() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(m_path, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }

private:
    std::filesystem::path m_path;
};

// Numbers too large for a double read as infinity and are written back as null, so only
// values without them must read back the same.
inline bool all_finite(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& item : value)
            if (!all_finite(item)) return false;
    }
    return true;
}

}  // namespace termiva::fuzz
