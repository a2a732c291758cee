// A tab's connection state: the moves allowed, one notice per move, and the races the
// old flags (`alive`, `closed`) allowed between a starter, a reader and the user.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "app/tabs/tab.h"

namespace termiva {
namespace {

using S = TabState;
constexpr std::array<S, 6> ALL = {S::connecting, S::connected, S::reconnecting,
                                  S::ended,      S::failed,    S::closed};

// Every move heard, in order.
struct Heard {
    std::mutex lock;
    std::vector<std::pair<S, S>> moves;
    Tab::Listener listener() {
        return [this](const Tab&, S from, S to) {
            std::lock_guard held(lock);
            moves.emplace_back(from, to);
        };
    }
};

TEST(TabState, OnlyTheListedMovesAreMadeAndEachIsHeardOnce) {
    for (S from : ALL) {
        for (S to : ALL) {
            Tab tab("t");
            Heard heard;
            // Reach `from` by allowed moves first.
            const std::vector<S> path = [&]() -> std::vector<S> {
                switch (from) {
                    case S::connecting:
                        return {};
                    case S::connected:
                        return {S::connected};
                    case S::reconnecting:
                        return {S::connected, S::reconnecting};
                    case S::ended:
                        return {S::connected, S::ended};
                    case S::failed:
                        return {S::failed};
                    case S::closed:
                        return {S::closed};
                }
                return {};
            }();
            for (S step : path)
                ASSERT_TRUE(tab.move_to(step)) << name_of(step);
            ASSERT_EQ(tab.state(), from);
            tab.listen(heard.listener());
            const bool moved = tab.move_to(to);
            EXPECT_EQ(moved, may_become(from, to)) << name_of(from) << " -> " << name_of(to);
            EXPECT_EQ(tab.state(), moved ? to : from);
            EXPECT_EQ(heard.moves.size(), moved ? 1u : 0u);
        }
    }
    // What the page calls alive, and that nothing leaves closed.
    EXPECT_TRUE(is_alive(S::connecting));
    EXPECT_TRUE(is_alive(S::connected));
    EXPECT_FALSE(is_alive(S::reconnecting));
    EXPECT_FALSE(is_alive(S::ended));
    EXPECT_FALSE(is_alive(S::failed));
    EXPECT_FALSE(is_alive(S::closed));
    for (S to : ALL)
        EXPECT_FALSE(may_become(S::closed, to));
}

TEST(TabState, AConnectionStoredWithItsMoveIsNeverKeptByAClosedTab) {
    // A starter storing its connection, a reader ending and the user closing, all at
    // once: whatever order they run in, the tab ends closed, the connection is stored only
    // if the connected move came before the close, and every move heard is one the table
    // allows, from the state the previous one left.
    for (int round = 0; round < 300; ++round) {
        Tab tab("t");
        Heard heard;
        tab.listen(heard.listener());
        std::atomic<bool> go{false};
        std::atomic<int> stored{0};
        auto starter = std::thread([&] {
            while (!go) {
            }
            tab.move_to(S::connected, [&](Tab&) { ++stored; });
        });
        auto reader = std::thread([&] {
            while (!go) {
            }
            tab.move_to(S::ended);
        });
        auto user = std::thread([&] {
            while (!go) {
            }
            tab.move_to(S::closed);
        });
        go = true;
        starter.join();
        reader.join();
        user.join();
        ASSERT_EQ(tab.state(), S::closed);
        // Listeners run after the lock is let go, so notices may arrive out of order; the
        // moves they name still chain from connecting to closed, each one used once.
        S at = S::connecting;
        bool connected_before_close = false;
        auto left = heard.moves;
        while (!left.empty()) {
            auto next = std::find_if(left.begin(), left.end(),
                                     [&](const auto& move) { return move.first == at; });
            ASSERT_NE(next, left.end()) << "no move from " << name_of(at);
            ASSERT_TRUE(may_become(next->first, next->second));
            if (next->second == S::connected) connected_before_close = true;
            at = next->second;
            left.erase(next);
        }
        ASSERT_EQ(at, S::closed);
        EXPECT_EQ(stored.load(), connected_before_close ? 1 : 0);
    }
}

TEST(TabState, AWaitForTheCloseEndsWithTheClose) {
    Tab tab("t");
    EXPECT_FALSE(tab.wait_closed(std::chrono::milliseconds(1)));
    ASSERT_TRUE(tab.move_to(S::failed));
    std::thread user([&] { tab.move_to(S::closed); });
    EXPECT_TRUE(tab.wait_closed(std::chrono::seconds(30)));
    user.join();
    EXPECT_TRUE(tab.closed());
}

}  // namespace
}  // namespace termiva
