// A 1 MiB image of firmware-like bytes flashed through a serial tab of the real termiva-host
// at 115200 bit/s, the simulated ROM loader on the far end of a socat pty pair: the plain ROM
// path (uncompressed, unverified, at the tab's speed) against the fast one (921600 bit/s for
// the job, compressed, verified). A pseudo-terminal does not pace bytes, so the line figures
// are the board's modelled wire time (10 bits a byte both ways at the speed of the moment,
// plus its turnaround per command) for everything the board exchanged, sync to the last
// hash; the wall time is what the whole path took here. Then how long the console's first
// byte takes to reach the terminal after "done", at the tab's speed again.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "esp_sim.h"
#include "esp_sim_firmware.h"
#include "esp_sim_pty.h"
#include "esp_sim_tty_speed.h"
#include "support/host_process.h"
#include "support/socat_link.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t OFFSET = 0x10000;
constexpr std::size_t IMAGE_SIZE = 1 << 20;

constexpr int LINE_BAUD = 115200;

// The modelled line time of the whole job, or a negative value when it failed.
double run(const std::filesystem::path& socat, const char* label, const json& options) {
    const int baud = LINE_BAUD;
    termiva::testing::TempDir dir;
    termiva::testing::SocatLink link(socat, dir.path() / "ttyHost", dir.path() / "ttyBoard");
    if (!link.start()) {
        std::printf("%s: socat did not start\n", label);
        return -1;
    }
    esp_sim::SimConfig config;
    config.chip = "esp32s3";
    config.baud = baud;
    config.flash_size = 4u << 20;
    config.host_baud = esp_sim::tty_speed_probe(link.a());
    esp_sim::EspSimulator sim(config);
    esp_sim::PtyEndpoint board(link.b(), [&sim](const std::string& b) { sim.write(b); });
    sim.set_output([&board](const std::string& b) { board.write_all(b); });

    const std::string image = esp_sim::make_firmware_image(IMAGE_SIZE, 42);
    const auto path = dir.path() / "app.bin";
    std::ofstream(path, std::ios::binary) << image;

    termiva::testing::HostProcess host(dir.path() / "data");
    json saved = host.call("save_session", {json{{"name", "bench"},
                                                 {"protocol", "serial"},
                                                 {"host", link.a().string()},
                                                 {"port", baud}}});
    const std::string tab = host.call("connect_session", {saved["id"]})["tab_id"];
    host.drain_until(tab, "---\r\n", std::chrono::seconds(5));
    sim.classic_download_reset();

    const auto t0 = Clock::now();
    host.call(
        "esp_flash_start",
        {tab, "esp-flash", json::array({{{"path", path.string()}, {"offset", OFFSET}}}), options});
    auto done = host.wait_for_call(
        [&](const json& c) { return c["call"] == "xferOnEvent" && c["args"][1]["kind"] == "done"; },
        std::chrono::minutes(10));
    const auto t_done = Clock::now();
    if (!done || (*done)["args"][1]["ok"] != true) {
        std::printf("%s: the job failed: %s\n", label,
                    done ? done->dump().c_str() : "no done event");
        sim.set_output(nullptr);
        return -1;
    }
    // The console: the board speaks right after "done".
    sim.set_output(nullptr);
    board.write_all("console after done\r\n");
    host.drain_until(tab, "console after done", std::chrono::seconds(5));
    const auto t_console = Clock::now();

    const auto log = sim.commands();
    std::size_t payload = 0, blocks = 0, escapes = 0;
    double payload_ideal = 0, payload_line = 0, flash_baud = baud;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const auto op = log[i].op;
        if (op != 0x03 && op != 0x11) continue;
        const std::size_t bytes = log[i].data.size() - 16;
        payload += bytes;
        ++blocks;
        // Framed size beyond header, data and the two delimiters: the SLIP escapes.
        escapes += log[i].wire_in - (8 + log[i].data.size() + 2);
        flash_baud = log[i].baud;
        payload_ideal += static_cast<double>(bytes) * 10 / log[i].baud;
        payload_line += sim.line_seconds(i, i + 1);
    }
    const double line = sim.line_seconds(0, log.size());
    const double wall = std::chrono::duration<double>(t_done - t0).count();
    const double console_ms = std::chrono::duration<double, std::milli>(t_console - t_done).count();
    const bool same = [&] {
        const auto flash = sim.flash();
        return std::string(flash.begin() + OFFSET, flash.begin() + OFFSET + IMAGE_SIZE) == image;
    }();
    if (blocks > 0) {
        // What the same blocks would use of the wire without any byte needing an escape.
        const double line_without = payload_line - static_cast<double>(escapes) * 10 / flash_baud;
        std::printf("%s: %zu data blocks, %.1f escaped bytes a block; without escapes %.1f %%\n",
                    label, blocks, static_cast<double>(escapes) / static_cast<double>(blocks),
                    line_without > 0 ? 100.0 * payload_ideal / line_without : 0.0);
    }
    std::printf(
        "%s: image %s, %zu payload bytes at %.0f bit/s using %.1f %% of that wire; modelled "
        "line %.2f s end to end (%zu commands); wall %.2f s through the tab; console %.0f ms "
        "after done\n",
        label, same ? "intact" : "WRONG", payload, flash_baud,
        payload_line > 0 ? 100.0 * payload_ideal / payload_line : 0.0, line, log.size(), wall,
        console_ms);
    return same ? line : -1;
}

}  // namespace

int main() {
    auto socat = termiva::testing::find_program("socat");
    if (!socat) {
        std::printf("socat is not installed\n");
        return 1;
    }
    std::printf("serial_flash: 1 MiB through a serial tab at %d bit/s, ROM loader only\n",
                LINE_BAUD);
    const double plain =
        run(*socat, "plain ROM path (uncompressed, unverified, 115200)",
            {{"chip", "esp32s3"}, {"interface", "uart"}, {"compress", false}, {"verify", false}});
    const double fast = run(*socat, "fast ROM path (921600, compressed, verified)",
                            {{"chip", "esp32s3"},
                             {"interface", "uart"},
                             {"compress", true},
                             {"verify", true},
                             {"flash_baud", 921600}});
    if (plain > 0 && fast > 0) std::printf("speed-up end to end: %.1f x\n", plain / fast);
    return 0;
}
