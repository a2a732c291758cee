// A tab closed while its backend is still connecting must not leave the connection open.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>

#include "app/starters/stream_starter.h"
#include "unit/app_fixture.h"

namespace termiva {
namespace {

// A backend whose connect() blocks until the test releases it; it can be told to ignore
// close() while connecting (as a resolver or a child start-up cannot be interrupted).
class GatedBackend : public Backend {
public:
    explicit GatedBackend(bool cancellable) : m_cancellable(cancellable) {}
    void connect() override {
        std::unique_lock lock(m_lock);
        m_connecting = true;
        m_cv.notify_all();
        m_cv.wait(lock, [&] { return m_released || (m_cancellable && m_closed); });
        if (m_closed && m_cancellable) throw BackendError("cancelled");
    }
    void send(std::string_view) override {}
    std::string recv(std::size_t) override {
        std::unique_lock lock(m_lock);
        m_cv.wait(lock, [&] { return m_closed; });
        return {};
    }
    bool is_closed() const override {
        std::lock_guard lock(m_lock);
        return m_closed;
    }
    void resize(int, int) override {}
    void close() override {
        std::lock_guard lock(m_lock);
        m_closed = true;
        ++m_close_calls;
        m_cv.notify_all();
    }
    void wait_connecting() {
        std::unique_lock lock(m_lock);
        m_cv.wait(lock, [&] { return m_connecting; });
    }
    void release() {
        std::lock_guard lock(m_lock);
        m_released = true;
        m_cv.notify_all();
    }
    int close_calls() const {
        std::lock_guard lock(m_lock);
        return m_close_calls;
    }

private:
    bool m_cancellable;
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_connecting = false, m_released = false, m_closed = false;
    int m_close_calls = 0;
};

using StreamStarter = testing::AppFixture;

TEST_F(StreamStarter, ClosingTheTabCancelsAConnectInProgressSilently) {
    std::string id = open_idle_tab();
    TabPtr tab = app->tabs().find_tab(id);
    // The idle tab failed; the starter tries it again in place.
    ASSERT_TRUE(tab->move_to(TabState::reconnecting));
    auto backend = std::make_shared<GatedBackend>(true);
    window->clear();
    auto done = std::async(std::launch::async, [&] {
        run_stream_starter(app->tabs(), id, tab, backend, {"raw", "err.conn_fail", ""});
    });
    backend->wait_connecting();
    app->tabs().close_tab(id);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_GE(backend->close_calls(), 1);
    EXPECT_TRUE(window->scripts().empty()) << "no failure line for a tab the user closed";
    EXPECT_EQ(tab->backend, nullptr);
}

TEST_F(StreamStarter, AConnectionThatSucceedsAfterItsTabClosedIsClosedNotKept) {
    std::string id = open_idle_tab();
    TabPtr tab = app->tabs().find_tab(id);
    // The idle tab failed; the starter tries it again in place.
    ASSERT_TRUE(tab->move_to(TabState::reconnecting));
    auto backend = std::make_shared<GatedBackend>(false);
    window->clear();
    auto done = std::async(std::launch::async, [&] {
        run_stream_starter(app->tabs(), id, tab, backend, {"raw", "err.conn_fail", ""});
    });
    backend->wait_connecting();
    app->tabs().close_tab(id);
    backend->release();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(backend->is_closed());
    EXPECT_EQ(tab->backend, nullptr);
    EXPECT_TRUE(window->scripts().empty()) << "no connected event for a closed tab";
}

TEST_F(StreamStarter, ASuccessfulConnectFillsTheSlotAndStartsTheReader) {
    std::string id = open_idle_tab();
    TabPtr tab = app->tabs().find_tab(id);
    // The idle tab failed; the starter tries it again in place.
    ASSERT_TRUE(tab->move_to(TabState::reconnecting));
    auto backend = std::make_shared<GatedBackend>(false);
    backend->release();
    window->clear();
    run_stream_starter(app->tabs(), id, tab, backend, {"telnet", "err.conn_fail", ""});
    EXPECT_EQ(tab->backend, backend);
    EXPECT_EQ(tab->backend_kind, "telnet");
    EXPECT_EQ(tab->state(), TabState::connected);
    const auto count = [&](const std::string& start) {
        int n = 0;
        for (const auto& script : window->scripts())
            n += script.rfind(start, 0) == 0 ? 1 : 0;
        return n;
    };
    EXPECT_EQ(count("terminalConnected(\"" + id + "\")"), 1);
    // The reader ends when the backend closes and shows the end line once.
    backend->close();
    EXPECT_TRUE(wait_until([&] { return count("setTerminalInfo(\"" + id + "\"") == 1; }));
    EXPECT_TRUE(wait_until([&] { return tab->state() == TabState::ended; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(count("setTerminalInfo(\"" + id + "\""), 1);
}

// The old flags let a reader that ended because its tab closed mark the closed tab ended
// and tell the page; now the close is final and the end changes nothing.
TEST_F(StreamStarter, AReaderEndingBecauseItsTabClosedTellsThePageNothing) {
    std::string id = open_idle_tab();
    TabPtr tab = app->tabs().find_tab(id);
    ASSERT_TRUE(tab->move_to(TabState::reconnecting));
    auto backend = std::make_shared<GatedBackend>(false);
    backend->release();
    run_stream_starter(app->tabs(), id, tab, backend, {"raw", "err.conn_fail", ""});
    ASSERT_EQ(tab->state(), TabState::connected);
    window->clear();
    app->tabs().close_tab(id);
    EXPECT_TRUE(backend->is_closed());
    // The reader shows its end line after it tried to mark the tab ended.
    const auto end_line_shown = [&] {
        for (const auto& script : window->scripts())
            if (script.rfind("setTerminalInfo(\"" + id + "\"", 0) == 0) return true;
        return false;
    };
    ASSERT_TRUE(wait_until(end_line_shown));
    EXPECT_EQ(tab->state(), TabState::closed);
    for (const auto& script : window->scripts())
        EXPECT_EQ(script.find("runtimeChanged"), std::string::npos) << script;
}

}  // namespace
}  // namespace termiva
