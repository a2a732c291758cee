// Line-level cost of writing a 1 MiB firmware image through the simulated board, ROM-only and
// with the stub and compression, at two line speeds. Nothing is slowed down: the board counts
// the bytes each command puts on the wire in both directions (10 bits a byte) plus a fixed
// turnaround per command, and the figures below are that modelled line time.
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "esp_sim_firmware.h"
#include "esp_sim_rig.h"
#include "esp_sim_stub.h"

namespace {

constexpr std::uint32_t OFFSET = 0x10000;
constexpr std::size_t IMAGE_SIZE = 1 << 20;

struct Result {
    bool ok = false;
    std::size_t raw = 0;
    std::size_t payload = 0;  // bytes of image data sent (compressed, or padded raw)
    std::size_t wire = 0;     // bytes on the wire for the write, both directions
    std::size_t commands = 0;
    double seconds = 0;      // modelled line time of the write
    double job_seconds = 0;  // the same for the whole job, sync and stub upload included
};

Result run_once(const std::filesystem::path& dir, const std::string& image, double baud,
                bool with_stub) {
    esp_sim::SimConfig config;
    config.chip = "esp32";
    config.baud = baud;
    config.flash_size = 4u << 20;
    esp_sim::SimRig rig(config);
    const auto stubs = dir / (with_stub ? "stubs" : "no-stubs");
    std::filesystem::create_directories(stubs);
    if (with_stub) {
        std::ofstream(stubs / "esp32.json")
            << esp_sim::make_synthetic_stub(1, true).to_json().dump();
    }
    const auto path = dir / "firmware.bin";
    rig.make_job("esp-flash", {{path.string(), OFFSET}}, {{"compress", with_stub}}, stubs,
                 esp_sim::fast_timing());
    const auto done = rig.run(std::chrono::minutes(5));

    Result r;
    r.ok = !done.is_null() && done.value("ok", false);
    r.raw = image.size();
    const auto log = rig.sim.commands();
    std::size_t first = log.size(), last = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const auto op = log[i].op;
        if ((op == 0x02 || op == 0x10) && first == log.size()) first = i;
        if (op == 0x03 || op == 0x04 || op == 0x11 || op == 0x12) last = i + 1;
        if (op == 0x03 || op == 0x11) r.payload += log[i].data.size() - 16;
    }
    for (std::size_t i = first; i < last; ++i)
        r.wire += log[i].wire_in + log[i].wire_out;
    r.commands = last > first ? last - first : 0;
    r.seconds = rig.sim.line_seconds(first, last);
    r.job_seconds = rig.sim.line_seconds(0, log.size());
    return r;
}

void report(const char* label, double baud, const Result& r, bool compressed) {
    const double limit = static_cast<double>(r.payload) * 10.0 / baud;
    std::printf("%-22s %7.0f baud: %s\n", label, baud, r.ok ? "" : "JOB FAILED");
    const std::string sent = compressed ? " (" + std::to_string(r.payload) + " compressed)" : "";
    std::printf("  Wrote %zu bytes%s at 0x%08x in %.1f seconds (effective %.1f kbit/s)\n", r.raw,
                sent.c_str(), OFFSET, r.seconds,
                static_cast<double>(r.raw) * 8.0 / r.seconds / 1000.0);
    std::printf(
        "  wire %zu bytes in %zu commands; payload at line speed %.2f s; "
        "efficiency %.1f %% of the wire's limit; whole job %.1f s\n",
        r.wire, r.commands, limit, 100.0 * limit / r.seconds, r.job_seconds);
}

}  // namespace

int main() {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("flashwright-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const std::string image = esp_sim::make_firmware_image(IMAGE_SIZE, 2026);
    std::ofstream(dir / "firmware.bin", std::ios::binary) << image;

    std::printf("1 MiB firmware-like image; 10 bits a byte; %.1f ms turnaround per command\n\n",
                esp_sim::SimConfig{}.turnaround_s * 1000.0);
    int status = 0;
    for (double baud : {115200.0, 921600.0}) {
        const Result rom = run_once(dir, image, baud, false);
        const Result stub = run_once(dir, image, baud, true);
        report("ROM-only", baud, rom, false);
        report("stub + compression", baud, stub, true);
        const double efficiency = static_cast<double>(stub.payload) * 10.0 / baud / stub.seconds;
        std::printf("  goal stub+compression within 3 %% of the wire's limit: %s (%.2f %%)\n\n",
                    efficiency >= 0.97 ? "met" : "MISSED", 100.0 * (1.0 - efficiency));
        if (!rom.ok || !stub.ok) status = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
