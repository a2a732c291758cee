// A 1 MiB image flashed through a serial tab of the real termiva-host, the simulated board on
// the far end of a socat pty pair, at two line speeds. A pseudo-terminal does not pace bytes,
// so the line figures are the board's modelled wire time (10 bits a byte both ways, plus its
// turnaround per command) for the write commands; the wall time is what the whole path
// (page call, job, serial tab, pty, board) took here. Then how long the console's first
// byte takes to reach the terminal after "done".
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "esp_sim.h"
#include "esp_sim_firmware.h"
#include "esp_sim_pty.h"
#include "support/host_process.h"
#include "support/socat_link.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t OFFSET = 0x10000;
constexpr std::size_t IMAGE_SIZE = 1 << 20;

void run(const std::filesystem::path& socat, int baud) {
    termiva::testing::TempDir dir;
    termiva::testing::SocatLink link(socat, dir.path() / "ttyHost", dir.path() / "ttyBoard");
    if (!link.start()) {
        std::printf("%7d bps: socat did not start\n", baud);
        return;
    }
    esp_sim::SimConfig config;
    config.chip = "esp32s3";
    config.baud = baud;
    config.flash_size = 4u << 20;
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
    host.call("esp_flash_start",
              {tab,
               "esp-flash",
               json::array({{{"path", path.string()}, {"offset", OFFSET}}}),
               {{"chip", "esp32s3"}, {"interface", "uart"}, {"compress", true}}});
    auto done = host.wait_for_call(
        [&](const json& c) { return c["call"] == "xferOnEvent" && c["args"][1]["kind"] == "done"; },
        std::chrono::minutes(10));
    const auto t_done = Clock::now();
    if (!done || (*done)["args"][1]["ok"] != true) {
        std::printf("%7d bps: the job failed: %s\n", baud,
                    done ? done->dump().c_str() : "no done event");
        sim.set_output(nullptr);
        return;
    }
    // The console: the board speaks right after "done".
    sim.set_output(nullptr);
    board.write_all("console after done\r\n");
    host.drain_until(tab, "console after done", std::chrono::seconds(5));
    const auto t_console = Clock::now();

    const auto log = sim.commands();
    std::size_t first = log.size(), last = 0, payload = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const auto op = log[i].op;
        if ((op == 0x02 || op == 0x10) && first == log.size()) first = i;
        if (op == 0x04 || op == 0x12) last = i + 1;
        if (op == 0x03 || op == 0x11) payload += log[i].data.size() - 16;
    }
    const double line = sim.line_seconds(first, last);
    const double effective_kbit = static_cast<double>(IMAGE_SIZE) * 10 / line / 1000;
    const double wall = std::chrono::duration<double>(t_done - t0).count();
    const double console_ms = std::chrono::duration<double, std::milli>(t_console - t_done).count();
    const bool same = [&] {
        const auto flash = sim.flash();
        return std::string(flash.begin() + OFFSET, flash.begin() + OFFSET + IMAGE_SIZE) == image;
    }();
    std::printf(
        "%7d bps: image %s, ROM write %zu payload bytes, modelled line %.2f s = %.1f kbit/s "
        "(%.1f %% of the %.1f kbit/s wire); wall %.2f s through the tab; console %.0f ms after "
        "done\n",
        baud, same ? "verified" : "WRONG", payload, line, effective_kbit,
        100.0 * effective_kbit / (baud / 1000.0), baud / 1000.0, wall, console_ms);
}

}  // namespace

int main() {
    auto socat = termiva::testing::find_program("socat");
    if (!socat) {
        std::printf("socat is not installed\n");
        return 1;
    }
    std::printf(
        "serial_flash: 1 MiB through a serial tab (no stub is shipped: ROM writes, "
        "uncompressed)\n");
    for (int baud : {115200, 921600})
        run(*socat, baud);
    return 0;
}
