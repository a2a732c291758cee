// The GTK desktop with a real web view under a private X server: page calls are answered
// through the page's promises from worker threads, scripts reach the page from any
// thread, and destroying the window ends the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "integration/gui_xvfb.h"
#include "platform/linux/gtk/gtk_desktop.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* PAGE = R"(<!DOCTYPE html><html><body><script>
const channel = window.webkit.messageHandlers.termiva;
const call = (op, args) => channel.postMessage(JSON.stringify({op, args}));
window.report = (tag, value) => call('report', [tag, value]);
(async () => {
  await report('echo', await call('echo', [1, 'x']));
  await report('unknown', await call('nope', []));
  await report('malformed', await channel.postMessage('{not json'));
  await report('object', await channel.postMessage({op: 'echo', args: [2]}));
  const many = await Promise.all([...Array(20).keys()].map((i) => call('slow_echo', [i])));
  await report('many', many.map((text) => JSON.parse(text).result[0]).join(','));
  await report('ready', true);
})();
</script></body></html>)";

class Recorder {
public:
    std::optional<json> handle(const std::string& op, const json& args) {
        if (op == "echo") return args;
        if (op == "slow_echo") {
            // Later calls finish first: answers must still find their own promises.
            int i = args.at(0).get<int>();
            std::this_thread::sleep_for(std::chrono::milliseconds(5 * (20 - i)));
            return args;
        }
        if (op != "report") return std::nullopt;
        {
            std::lock_guard lock(m_lock);
            m_reports[args.at(0).get<std::string>()] = args.at(1);
            m_threads.insert(std::this_thread::get_id());
        }
        return json(true);
    }
    std::optional<json> report(const std::string& tag) {
        std::lock_guard lock(m_lock);
        auto it = m_reports.find(tag);
        if (it == m_reports.end()) return std::nullopt;
        return it->second;
    }
    bool ran_on(std::thread::id id) {
        std::lock_guard lock(m_lock);
        return m_threads.count(id) > 0;
    }

private:
    std::mutex m_lock;
    std::map<std::string, json> m_reports;
    std::set<std::thread::id> m_threads;
};

bool wait_for(Recorder& r, const std::string& tag, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (r.report(tag)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

TEST(GtkDesktop, AnswersPageCallsAndRunsScriptsFromAnyThread) {
    auto xvfb_path = find_program("Xvfb");
    if (!xvfb_path) {
        if (peers_required()) FAIL() << "Xvfb is required";
        GTEST_SKIP() << "Xvfb not installed";
    }
    XvfbServer xvfb(*xvfb_path);
    ASSERT_FALSE(xvfb.display().empty());
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
    TempDir dir;

    auto desktop = platform::gtk::make_gtk_desktop();
    Recorder recorder;
    platform::WindowOptions options;
    options.title = "Bridge test";
    options.html = PAGE;
    options.storage_dir = dir.path() / "storage";
    std::atomic<int> close_requests{0};
    auto window = desktop->create_window(
        options,
        // As the program's bridge does: each call answered from a thread of its own.
        [&recorder](const std::string& op, const json& args, platform::BridgeReply reply) {
            std::thread([&recorder, op, args, reply = std::move(reply)] {
                reply(recorder.handle(op, args));
            }).detach();
        },
        [&] { return ++close_requests, true; });

    // The test's own thread drives the checks while the loop runs here.
    json from_thread;
    bool saw_ready = false, saw_script = false;
    std::thread driver([&] {
        saw_ready = wait_for(recorder, "ready", 30s);
        if (saw_ready) {
            window->evaluate_script("report('from_thread', 6 * 7)");
            saw_script = wait_for(recorder, "from_thread", 10s);
        }
        window->destroy();
    });
    desktop->run_event_loop();
    driver.join();

    ASSERT_TRUE(saw_ready) << "the page never finished its calls";
    EXPECT_EQ(json::parse(recorder.report("echo")->get<std::string>()),
              json::parse(R"({"result":[1,"x"]})"));
    EXPECT_EQ(json::parse(recorder.report("unknown")->get<std::string>()),
              json::parse(R"({"error":"unknown operation: nope"})"));
    EXPECT_EQ(json::parse(recorder.report("malformed")->get<std::string>()),
              json::parse(R"({"error":"malformed page call"})"));
    EXPECT_EQ(json::parse(recorder.report("object")->get<std::string>()),
              json::parse(R"({"result":[2]})"));
    EXPECT_EQ(*recorder.report("many"), "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19");
    EXPECT_TRUE(saw_script);
    EXPECT_EQ(*recorder.report("from_thread"), 42);
    // Page calls never run on the window's thread: it must keep drawing meanwhile.
    EXPECT_FALSE(recorder.ran_on(std::this_thread::get_id()));
    EXPECT_EQ(close_requests.load(), 0);  // destroy() is not a close request
}

TEST(GtkDesktop, MakesATrayIconEvenWithoutItsImage) {
    auto xvfb_path = find_program("Xvfb");
    if (!xvfb_path) {
        if (peers_required()) FAIL() << "Xvfb is required";
        GTEST_SKIP() << "Xvfb not installed";
    }
    XvfbServer xvfb(*xvfb_path);
    ASSERT_FALSE(xvfb.display().empty());
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
    auto desktop = platform::gtk::make_gtk_desktop();
    int shown = 0;
    auto tray = desktop->create_tray(
        "Termiva", std::filesystem::path("/nonexistent/logo.ico"), "Termiva",
        {{"Show window", [&] { ++shown; }, true}, {"Quit", [] {}, false}}, 0x0f1521);
    ASSERT_TRUE(tray);
    EXPECT_NO_THROW(tray->stop());
    EXPECT_NO_THROW(tray->stop());  // stopping twice is harmless
    // No window: the loop has nothing to run and returns at once.
    desktop->run_event_loop();
    EXPECT_EQ(shown, 0);
}

}  // namespace
}  // namespace termiva::testing
