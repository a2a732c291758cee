// A TermivaApp on a temporary data folder with a window that records page calls.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "app/termiva_app.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace termiva::testing {

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void start() {
        app = std::make_unique<TermivaApp>(nullptr, nullptr, dir.path());
        window = std::make_shared<RecordingWindow>();
        app->set_window(window);
    }

    // Saves `rec` and opens it; returns the tab id.
    std::string open(Json rec) {
        Json saved = app->save_session(std::move(rec));
        Json state = app->tabs().connect_session(saved["id"]);
        return state["tab_id"].get<std::string>();
    }

    // A tab that never connects (its protocol is unknown), so tests can drive its data
    // path directly. Waits until the dispatcher has given up on it and said so: its line
    // comes from the connect thread, after the tab is marked ended, and would otherwise
    // land among what the test records next.
    std::string open_idle_tab(Json extra = Json::object()) {
        Json rec = {{"name", "idle"}, {"protocol", "none"}};
        rec.update(extra);
        std::string id = open(rec);
        const std::string said = "setTerminalInfo(\"" + id + "\"";
        wait_until([&] {
            if (app->tabs().find_tab(id)->alive()) return false;
            for (const auto& script : window->scripts())
                if (script.rfind(said, 0) == 0) return true;
            return false;
        });
        return id;
    }

    template <typename Pred>
    bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pred();
    }

    TempDir dir;
    std::unique_ptr<TermivaApp> app;
    std::shared_ptr<RecordingWindow> window;
};

}  // namespace termiva::testing
