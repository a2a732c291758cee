// Cancelling a job while it waits: during sync, during a flash block and during the long
// whole-flash erase. The waits keep their real lengths here; the job must still end promptly.
#include <cstdio>
#include <thread>

#include "flashwright_sim_support.h"

namespace flashwright::testing {
namespace {

using esp_sim::Port;
using esp_sim::SimConfig;
using esp_sim::SimRig;
using ::termiva::testing::TempDir;
using Clock = std::chrono::steady_clock;

// Generous: the job notices a cancel within about 50 ms; this only catches a job that sits
// out a whole command time-out.
constexpr auto PROMPT = std::chrono::milliseconds(1500);

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

bool phase_seen(const esp_sim::EventLog& events, const std::string& name) {
    for (const auto& e : events.of_kind("phase")) {
        if (e["name"] == name) return true;
    }
    return false;
}

// Real waits except the settling pause after reset.
FlasherTiming real_waits() {
    FlasherTiming t;
    t.reset_settle = 0.01;
    t.reset_flush = 0.01;
    return t;
}

void expect_cancelled_promptly(SimRig& rig, EspFlasher& job) {
    const auto start = Clock::now();
    job.cancel();
    const auto done = rig.events.wait_done(std::chrono::seconds(20));
    const auto took = Clock::now() - start;
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ((*done)["reason"], "Cancelled by the user");
    EXPECT_EQ((*done)["ok"], false);
    EXPECT_TRUE(job.is_done());
    EXPECT_LT(took, PROMPT);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    ::testing::Test::RecordProperty("cancel_to_done_ms", static_cast<int>(ms));
    std::printf("cancel → done in %lld ms\n", static_cast<long long>(ms));
    int cancel_logs = 0;
    for (const auto& e : rig.events.of_kind("log"))
        cancel_logs += e["text"] == "Cancelled by the user";
    EXPECT_EQ(cancel_logs, 1);
}

class SimCancel : public ::testing::Test {
protected:
    TempDir tmp;
    std::filesystem::path stubs = tmp.path() / "stubs";
    void SetUp() override { std::filesystem::create_directories(stubs); }
};

TEST_F(SimCancel, DuringSync) {
    SimConfig config;
    config.port = Port::UsbJtag;  // never answers the UART entry
    SimRig rig(config);
    const auto app = write_file(tmp.path() / "app.bin", "abc");
    auto& job =
        rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "uart"}}, stubs, real_waits());
    job.start();
    ASSERT_TRUE(wait_for([&] { return phase_seen(rig.events, "sync"); }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    expect_cancelled_promptly(rig, job);
}

TEST_F(SimCancel, DuringAFlashBlock) {
    SimConfig config;
    config.silent_after_blocks = 1;  // the second block is never acknowledged
    SimRig rig(config);
    const auto app = write_file(tmp.path() / "app.bin", esp_sim::make_firmware_image(5000, 2));
    auto& job = rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, real_waits());
    job.start();
    ASSERT_TRUE(wait_for([&] { return !rig.events.of_kind("progress").empty(); },
                         std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    expect_cancelled_promptly(rig, job);
    EXPECT_EQ(rig.sim.count(0x04), 0u);  // never finished the write
    EXPECT_EQ(rig.sim.app_boots(), 0);   // and no hard reset after a cancel
}

TEST_F(SimCancel, DuringTheEraseWait) {
    SimConfig config;
    config.chip = "esp32s3";
    config.erase_delay = std::chrono::minutes(10);
    SimRig rig(config);
    install_stub(stubs, "esp32s3", false);  // ERASE_FLASH is a loader program's command
    auto& job = rig.make_job("esp-erase-flash", {}, nullptr, stubs, real_waits());
    job.start();
    ASSERT_TRUE(wait_for([&] { return rig.sim.count(0xD0) == 1; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    expect_cancelled_promptly(rig, job);
}

TEST_F(SimCancel, DroppingARunningJobStopsItAndDeliversDone) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    std::vector<nlohmann::json> events;
    std::mutex mutex;
    auto job = std::make_unique<EspFlasher>(
        Mode::Flash, std::vector<FlashFile>{}, FlasherOptions{.interface = Interface::Uart},
        [&rig](const std::string& b) { rig.sim.write(b); }, ResetFuncs{},
        [&](const FlasherEvent& ev) {
            std::lock_guard lock(mutex);
            events.push_back(event_json(ev));
        },
        stubs, real_waits());
    job->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    job.reset();  // waits for the worker, which stops at its next wait
    EXPECT_LT(Clock::now() - start, PROMPT);
    std::lock_guard lock(mutex);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["kind"], "done");
    EXPECT_EQ(events.back()["reason"], "Cancelled by the user");
}

TEST_F(SimCancel, JobMayBeDroppedFromItsOwnDoneEvent) {
    SimRig rig;
    std::unique_ptr<EspFlasher> job;
    std::mutex mutex;
    std::condition_variable cv;
    bool dropped = false;
    auto timing = esp_sim::fast_timing();
    timing.sync_retries = 3;  // nobody answers: the job ends after its sync attempts
    job = std::make_unique<EspFlasher>(
        Mode::Flash, std::vector<FlashFile>{}, FlasherOptions{}, [](const std::string&) {},
        ResetFuncs{},
        [&](const FlasherEvent& e) {
            if (e.kind != EventKind::Done) return;
            std::lock_guard lock(mutex);
            job.reset();  // the owner lets go of the job from inside its callback
            dropped = true;
            cv.notify_all();
        },
        stubs, timing);
    job->start();
    std::unique_lock lock(mutex);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return dropped; }));
}

TEST_F(SimCancel, JobMayBeDroppedFromItsVeryFirstEvent) {
    // Shared with the worker, which outlives the handle here.
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::unique_ptr<EspFlasher> job;
        std::vector<std::string> kinds;
    };
    auto state = std::make_shared<State>();
    std::unique_lock lock(state->mutex);
    state->job = std::make_unique<EspFlasher>(
        Mode::Flash, std::vector<FlashFile>{}, FlasherOptions{}, [](const std::string&) {},
        ResetFuncs{},
        [state](const FlasherEvent& ev) {
            const nlohmann::json e = event_json(ev);
            std::unique_ptr<EspFlasher> dropped;
            {
                std::lock_guard inner(state->mutex);
                state->kinds.push_back(e["kind"]);
                dropped = std::move(state->job);
            }
            dropped.reset();  // the handle goes away inside the job's own callback
            state->cv.notify_all();
        },
        stubs, esp_sim::fast_timing());
    state->job->start();
    // The first event arrives only once start() has returned and the lock is released.
    EXPECT_TRUE(state->cv.wait_for(lock, std::chrono::seconds(20), [&] {
        return !state->kinds.empty() && state->kinds.back() == "done";
    }));
    EXPECT_EQ(state->kinds.front(), "phase");
}

}  // namespace
}  // namespace flashwright::testing
