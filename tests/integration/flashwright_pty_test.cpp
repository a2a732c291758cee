// A flashing job and the simulated board on the two ends of a socat pty pair, as over a real
// serial cable: the job's frames cross a tty in both directions.
#include "esp_sim_pty.h"
#include "unit/flashwright_sim_support.h"

namespace flashwright::testing {
namespace {

using ::termiva::testing::TempDir;

TEST(FlashOverPty, TwoImagesRomOnlyLandByteForByte) {
    TERMIVA_REQUIRE_PROGRAM(socat, "socat");
    TempDir tmp;
    esp_sim::SocatPtyPair pair(socat, tmp.path());
    ASSERT_TRUE(pair.started());

    esp_sim::SimConfig config;
    config.chip = "esp32c6";
    esp_sim::EspSimulator sim(config);
    esp_sim::PtyEndpoint board(pair.board_side(), [&sim](const std::string& b) { sim.write(b); });
    ASSERT_TRUE(board.is_open());
    sim.set_output([&board](const std::string& b) { board.write_all(b); });

    std::mutex job_mutex;
    EspFlasher* job_ptr = nullptr;
    // However the test ends, the tty reader stops feeding the job before the job goes away.
    struct Unhook {
        std::mutex& mutex;
        EspFlasher*& job;
        ~Unhook() {
            std::lock_guard lock(mutex);
            job = nullptr;
        }
    };
    esp_sim::PtyEndpoint host(pair.host_side(), [&](const std::string& b) {
        std::lock_guard lock(job_mutex);
        if (job_ptr) job_ptr->feed(b);
    });
    ASSERT_TRUE(host.is_open());

    const std::string a = esp_sim::make_firmware_image(12345, 11);
    const std::string b = esp_sim::make_firmware_image(4096, 12);
    const auto a_path = write_file(tmp.path() / "bootloader.bin", a);
    const auto b_path = write_file(tmp.path() / "app.bin", b);
    std::filesystem::create_directories(tmp.path() / "stubs");

    esp_sim::EventLog events;
    ResetFuncs resets{{"enter_bootloader_uart", [&sim] { sim.classic_download_reset(); }},
                      {"hard_reset", [&sim] { sim.hard_reset(); }}};
    auto timing = esp_sim::fast_timing();
    timing.reset_flush = 0.1;
    {
        EspFlasher job(
            Mode::Flash, {{a_path, 0x0}, {b_path, 0x20000}}, FlasherOptions{},
            [&host](const std::string& bytes) {
                if (!host.write_all(bytes)) throw std::runtime_error("tty write failed");
            },
            resets, [&events](const FlasherEvent& e) { events.add(event_json(e)); },
            tmp.path() / "stubs", timing);
        {
            std::lock_guard lock(job_mutex);
            job_ptr = &job;
        }
        Unhook unhook{job_mutex, job_ptr};
        job.start();
        const auto done = events.wait_done(std::chrono::seconds(30));
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ((*done)["reason"], "Done");
    }
    const auto flash = sim.flash();
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + a.size()), a);
    EXPECT_EQ(std::string(flash.begin() + 0x20000, flash.begin() + 0x20000 + b.size()), b);
    EXPECT_EQ(sim.app_boots(), 1);
    sim.set_output(nullptr);
}

}  // namespace
}  // namespace flashwright::testing
