#include "diagnostics.h"

#include <cstdio>
#include <mutex>

namespace flashwright::detail {
namespace {

std::mutex& sink_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> fn;
    return fn;
}

}  // namespace

void diag(const std::string& line) noexcept {
    try {
        std::lock_guard lock(sink_mutex());
        if (sink()) {
            sink()(line);
            return;
        }
        std::string out = line + "\n";
        std::fwrite(out.data(), 1, out.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
        // A diagnostic must never disturb the job.
    }
}

void set_diag_sink(std::function<void(const std::string&)> fn) {
    std::lock_guard lock(sink_mutex());
    sink() = std::move(fn);
}

}  // namespace flashwright::detail
