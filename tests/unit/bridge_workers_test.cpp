// The page's calls on the bridge workers: one tab's calls keep their order, tabs do not
// wait for each other, the pool stays bounded, and the program's output reaches the page
// as one signal per quiet-to-busy change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "app/bridge/bridge_workers.h"
#include "app/output/terminal_output.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

// A gate calls wait on until the test opens it (or 10 s pass: a failing test ends).
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(m_lock);
            m_open = true;
        }
        m_cv.notify_all();
    }
    bool wait() {
        std::unique_lock lock(m_lock);
        return m_cv.wait_for(lock, 10s, [&] { return m_open; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_open = false;
};

TEST(BridgeWorkers, KeepEachLanesOrderWhileLanesRunSideBySide) {
    BridgeWorkers workers;
    std::mutex lock;
    std::map<std::string, std::vector<int>> seen;
    std::mt19937 rng(7);
    std::atomic<int> done{0};
    const int per_lane = 200;
    for (int i = 0; i < per_lane; ++i) {
        for (const char* lane : {"tab a", "tab b", "tab c"}) {
            int pause_us = static_cast<int>(rng() % 200);
            workers.submit(lane, [&, lane, i, pause_us] {
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
                std::lock_guard guard(lock);
                seen[lane].push_back(i);
                ++done;
            });
        }
    }
    for (int waited = 0; done < 3 * per_lane && waited < 1000; ++waited)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(done.load(), 3 * per_lane);
    for (const auto& [lane, order] : seen) {
        for (int i = 0; i < per_lane; ++i)
            ASSERT_EQ(order[i], i) << lane << " ran out of order";
    }
}

TEST(BridgeWorkers, ABlockedLaneHoldsUpOnlyItself) {
    BridgeWorkers workers;
    Gate gate;
    std::atomic<bool> second_in_lane_ran{false};
    std::promise<void> other_lane;
    workers.submit("tab a", [&] { gate.wait(); });  // a file chooser, say
    workers.submit("tab a", [&] { second_in_lane_ran = true; });
    workers.submit("tab b", [&] { other_lane.set_value(); });
    workers.submit("", [] {});
    EXPECT_EQ(other_lane.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(second_in_lane_ran) << "a lane's next call overtook the one still running";
    gate.open();
    for (int i = 0; i < 500 && !second_in_lane_ran; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(second_in_lane_ran);
}

TEST(BridgeWorkers, StayBoundedAndServeWaitingCallsWhenAWorkerFrees) {
    BridgeWorkers workers;
    Gate gate;
    std::atomic<int> running{0}, peak{0}, finished{0};
    const int calls = static_cast<int>(BridgeWorkers::MAX_THREADS) + 4;
    for (int i = 0; i < calls; ++i) {
        workers.submit("", [&] {
            int now = ++running;
            for (int p = peak; now > p && !peak.compare_exchange_weak(p, now);) {
            }
            gate.wait();
            --running;
            ++finished;
        });
    }
    for (int i = 0; i < 500 && running < static_cast<int>(BridgeWorkers::MAX_THREADS); ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(peak.load(), static_cast<int>(BridgeWorkers::MAX_THREADS));
    EXPECT_LE(workers.threads(), BridgeWorkers::MAX_THREADS);
    gate.open();
    for (int i = 0; i < 500 && finished < calls; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(finished.load(), calls) << "calls queued behind a full pool never ran";
    EXPECT_TRUE(workers.stop(5s));
}

TEST(BridgeWorkers, StopWaitsForRunningCallsAndDropsQueuedOnes) {
    BridgeWorkers workers;
    Gate gate;
    std::atomic<bool> queued_ran{false};
    std::promise<void> started;
    workers.submit("tab a", [&] {
        started.set_value();
        gate.wait();
    });
    workers.submit("tab a", [&] { queued_ran = true; });
    ASSERT_EQ(started.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(workers.stop(100ms)) << "stop returned while a call still ran";
    gate.open();
    EXPECT_TRUE(workers.stop(5s));
    EXPECT_FALSE(queued_ran);
    workers.submit("", [&] { queued_ran = true; });  // after stop: never runs
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(queued_ran);
}

TEST(TerminalOutput, TellsThePageOncePerChangeFromNothingToSomething) {
    std::vector<std::string> signals;
    std::mutex lock;
    TerminalOutput output([&](const std::string& id, const TerminalOutput::Notice& notice) {
        EXPECT_TRUE(notice.text.empty())
            << "a pull without a count of carried pieces let output be carried";
        std::lock_guard guard(lock);
        signals.push_back(id);
    });
    const std::string tab = "t1";
    output.open(tab);
    output.append(tab, "a", 1);
    output.append(tab, "b", 1);
    output.append(tab, "c", 1);
    EXPECT_EQ(signals.size(), 1u);
    EXPECT_EQ(output.drain(tab), "abc");
    EXPECT_EQ(output.drain(tab), "");
    output.append(tab, "d", 1);
    EXPECT_EQ(signals, (std::vector<std::string>{"t1", "t1"}));
    // A closed tab's output goes nowhere and signals nothing.
    output.forget(tab);
    output.append(tab, "gone", 4);
    EXPECT_EQ(output.drain(tab), "");
    EXPECT_EQ(signals.size(), 2u);
    output.open(tab);
    output.append(tab, "d", 1);

    // Readers on other threads appending while the page drains: every character arrives
    // once and in order, and no change from empty to non-empty goes unsignalled.
    EXPECT_EQ(output.drain(tab), "d");
    signals.clear();
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            output.append(tab, std::string(1, static_cast<char>('a' + i % 26)), 1);
        writing = false;
    });
    std::string got;
    std::size_t drains_after_signal = 0;
    while (writing || !got.empty()) {
        std::string part = output.drain(tab);
        if (part.empty() && !writing) break;
        if (!part.empty()) ++drains_after_signal;
        got += part;
    }
    writer.join();
    got += output.drain(tab);
    ASSERT_EQ(got.size(), 20000u);
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], static_cast<char>('a' + i % 26)) << "at " << i;
    EXPECT_GE(signals.size(), drains_after_signal) << "output drained that was never signalled";
}

TEST(TerminalOutput, CarriesSmallOutputOnlyToACaughtUpPageAndNoPullOvertakesIt) {
    std::vector<TerminalOutput::Notice> told;
    TerminalOutput output(
        [&](const std::string&, const TerminalOutput::Notice& notice) { told.push_back(notice); });
    output.open("t");
    output.append("t", "before", 6);  // the page has not pulled yet: it waits to be pulled
    EXPECT_EQ(told.back().text, "");
    EXPECT_EQ(output.drain("t", 0), "before");
    EXPECT_EQ(output.drain("t", 0), "");  // caught up
    output.append("t", "echo", 4);
    EXPECT_EQ(told.back().text, "echo");
    EXPECT_EQ(told.back().carried, 1u);
    output.append("t", "next", 4);  // after a carried piece the page pulls again
    EXPECT_EQ(told.back().text, "");
    // A pull that set out before the carried piece arrived gets nothing, and the count
    // follows the carried piece so the page pulls once it has it.
    const std::size_t notices = told.size();
    EXPECT_EQ(output.drain("t", 0), "");
    ASSERT_EQ(told.size(), notices + 1);
    EXPECT_EQ(told.back().text, "");
    EXPECT_EQ(told.back().carried, 1u);
    EXPECT_EQ(output.drain("t", 1), "next");
    EXPECT_EQ(output.drain("t", 1), "");
    output.append("t", std::string(TerminalOutput::CARRY_LIMIT_CHARS + 1, 'x'),
                  TerminalOutput::CARRY_LIMIT_CHARS + 1);  // too long to carry
    EXPECT_EQ(told.back().text, "");
    EXPECT_EQ(output.drain("t", 1).size(), TerminalOutput::CARRY_LIMIT_CHARS + 1);
}

}  // namespace
}  // namespace termiva
