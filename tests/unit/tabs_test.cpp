#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "unit/app_fixture.h"

namespace termiva {
namespace {

using Tabs = testing::AppFixture;

TEST_F(Tabs, AnUnknownSessionOpensNoTab) {
    EXPECT_EQ(app->tabs().connect_session("missing"), (Json{{"tab_id", nullptr}}));
    EXPECT_TRUE(app->tabs().get_runtime_state()["tabs"].empty());
}

TEST_F(Tabs, OpeningASessionTwiceReselectsItsTab) {
    std::string first = open_idle_tab({{"name", "a"}});
    std::string second = open_idle_tab({{"name", "b"}});
    std::string sid_a = app->tabs().find_tab(first)->session->stored.at("id");
    Json again = app->tabs().connect_session(sid_a);
    EXPECT_EQ(again["tab_id"], first);
    EXPECT_EQ(again["existing"], true);
    EXPECT_EQ(again["active_tab"], first);
    EXPECT_EQ(again["tabs"].size(), 2u);
    (void)second;
}

TEST_F(Tabs, TabIdsAreEightLowerCaseHexDigitsAndCaptionsFallBackToHostAndPort) {
    std::string id = open_idle_tab({{"name", ""}, {"host", "example.org"}, {"port", 2323}});
    EXPECT_EQ(id.size(), 8u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    Json tabs = app->tabs().get_runtime_state()["tabs"];
    EXPECT_EQ(tabs[0]["display"], "example.org:2323");
    EXPECT_EQ(tabs[0]["protocol"], "none");
    EXPECT_EQ(tabs[0]["alive"], false);
}

TEST_F(Tabs, ClosingTheActiveTabActivatesTheLastRemainingOne) {
    std::string a = open_idle_tab({{"name", "a"}});
    std::string b = open_idle_tab({{"name", "b"}});
    std::string c = open_idle_tab({{"name", "c"}});
    app->tabs().connect_session(
        app->tabs().find_tab(b)->session->stored.at("id"));  // b becomes active
    Json state = app->tabs().close_tab(b);
    EXPECT_EQ(state["active_tab"], c);
    EXPECT_EQ(state["tabs"].size(), 2u);
    state = app->tabs().close_tab(c);
    EXPECT_EQ(state["active_tab"], a);
    state = app->tabs().close_tab(a);
    EXPECT_TRUE(state["active_tab"].is_null());
    EXPECT_EQ(app->tabs().close_tab("unknown"), app->tabs().get_runtime_state());
}

TEST_F(Tabs, AnEndedTabReconnectsInItsPlaceWithTheSessionAsSavedNow) {
    std::string a = open_idle_tab({{"name", "a"}});
    std::string b = open_idle_tab({{"name", "b"}});
    std::string c = open_idle_tab({{"name", "c"}});
    Json rec = app->tabs().find_tab(b)->session->stored;
    rec["name"] = "b renamed";
    app->save_session(rec);

    Json state = app->tabs().reconnect_tab(b);
    ASSERT_TRUE(state["tab_id"].is_string()) << state.dump();
    const std::string fresh = state["tab_id"];
    EXPECT_NE(fresh, b);
    EXPECT_EQ(state["active_tab"], fresh);
    ASSERT_EQ(state["tabs"].size(), 3u);
    EXPECT_EQ(state["tabs"][0]["id"], a);
    EXPECT_EQ(state["tabs"][1]["id"], fresh);
    EXPECT_EQ(state["tabs"][1]["display"], "b renamed");
    EXPECT_EQ(state["tabs"][2]["id"], c);
    EXPECT_EQ(app->tabs().find_tab(b), nullptr);

    // The old id is gone: a second call for it (a double press) opens nothing more.
    EXPECT_EQ(app->tabs().reconnect_tab(b), (Json{{"tab_id", nullptr}}));
    EXPECT_EQ(app->tabs().reconnect_tab("unknown"), (Json{{"tab_id", nullptr}}));
    EXPECT_EQ(app->tabs().get_runtime_state()["tabs"].size(), 3u);
}

TEST_F(Tabs, ALiveTabOrOneWhoseSessionWasDeletedIsNotReconnected) {
    std::string id = open_idle_tab({{"name", "gone"}});
    app->delete_session(app->tabs().find_tab(id)->session->stored.at("id"));
    EXPECT_EQ(app->tabs().reconnect_tab(id), (Json{{"tab_id", nullptr}}));
    EXPECT_NE(app->tabs().find_tab(id), nullptr) << "the ended tab stays for the user to read";

    std::string live = open({{"name", "live"}, {"protocol", "conpty"}, {"conpty_shell", "sh"}});
    ASSERT_TRUE(wait_until([&] {
        auto tab = app->tabs().find_tab(live);
        std::lock_guard lock(tab->lock);
        return tab->backend != nullptr;
    }));
    EXPECT_EQ(app->tabs().reconnect_tab(live), (Json{{"tab_id", nullptr}}));
    EXPECT_NE(app->tabs().find_tab(live), nullptr);
    app->tabs().close_tab(live);
}

TEST_F(Tabs, UnknownOrUpperCaseProtocolsAreReportedUnsupportedInUpperCase) {
    std::string id = open_idle_tab({{"protocol", "SSH"}});
    auto scripts = window->scripts();
    ASSERT_FALSE(scripts.empty());
    EXPECT_EQ(scripts.back(),
              "setTerminalInfo(\"" + id +
                  "\", \"Protocol SSH is not supported yet; please use SSH or serial.\", true)");
}

TEST_F(Tabs, ASessionWithoutProtocolIsDispatchedAsSsh) {
    // SSH-2 is answered by its starter; here only the dispatch matters: the tab's
    // protocol defaults to "ssh".
    Json rec = app->save_session(Json{{"name", "noproto"}, {"host", "127.0.0.1"}, {"port", 1}});
    Json state = app->tabs().connect_session(rec["id"]);
    EXPECT_EQ(state["tabs"][0]["protocol"], "ssh");
}

TEST(PollQueue, PingResultsSetSessionStatusAndAMalformedEntryStopsTheRest) {
    testing::TempDir dir;
    auto queues = std::make_shared<QueueAll>();
    auto receipts = std::make_shared<MessageQueue>();
    (*queues)["get_receipt"] = receipts;
    auto app = std::make_unique<TermivaApp>(queues, nullptr, dir.path());
    app->tabs().spawn([&] { app->_poll_queue(); });
    receipts->put(Json{{"type", "ping_results"},
                       {"results",
                        {{{"id", "a"}, {"online", true}},
                         {{"id", "b"}, {"online", false}},
                         {{"id", "c"}},
                         {{"id", "d"}, {"online", true}}}}});
    receipts->put(Json{{"type", "other"}, {"results", {{{"id", "e"}, {"online", true}}}}});
    for (int i = 0; i < 300 && app->tabs().get_runtime_state()["session_status"].size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Json status = app->tabs().get_runtime_state()["session_status"];
    EXPECT_EQ(status, (Json{{"a", "online"}, {"b", "offline"}}));
}

TEST(PollQueue, WithoutALauncherTheProbersRoundReachesTheStatusByCall) {
    // No receipt queue and no poll thread: the prober's results arrive by call alone.
    testing::TempDir dir;
    auto app = std::make_unique<TermivaApp>(nullptr, nullptr, dir.path());
    Json rec = app->save_session(Json{{"name", "closed"}, {"host", "127.0.0.1"}, {"port", 1}});
    const std::string sid = rec["id"].get<std::string>();
    app->tabs().spawn([&] { app->reachability().run(); });
    Json status;
    for (int i = 0; i < 500; ++i) {
        status = app->tabs().get_runtime_state()["session_status"];
        if (status.contains(sid)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, (Json{{sid, "offline"}}));
}

TEST(PollQueue, ALauncherQueueIsReadUntilShutDownWithNoTimedWait) {
    testing::TempDir dir;
    auto queues = std::make_shared<QueueAll>();
    auto receipts = std::make_shared<MessageQueue>();
    (*queues)["get_receipt"] = receipts;
    std::atomic<bool> ended{false};
    {
        TermivaApp app(queues, nullptr, dir.path());
        app.tabs().spawn([&] {
            app._poll_queue();
            ended = true;
        });
        // A stray end marker from the launcher does not end the reading.
        receipts->put(nullptr);
        receipts->put(
            Json{{"type", "ping_results"}, {"results", {{{"id", "x"}, {"online", true}}}}});
        Json status;
        for (int i = 0; i < 300 && !status.contains("x"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            status = app.tabs().get_runtime_state()["session_status"];
        }
        EXPECT_EQ(status, (Json{{"x", "online"}}));
        EXPECT_FALSE(ended);
        app._shutdown();
        for (int i = 0; i < 300 && !ended; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(ended);
    }
}

TEST(Shutdown, NotifiesTheLauncherOnceTabsAreClosed) {
    testing::TempDir dir;
    auto queues = std::make_shared<QueueAll>();
    (*queues)["end"] = std::make_shared<MessageQueue>();
    (*queues)["get_receipt"] = std::make_shared<MessageQueue>();
    auto events = std::make_shared<EventAll>();
    (*events)["end"] = std::make_shared<Event>();
    {
        TermivaApp app(queues, events, dir.path());
        app._shutdown();
        EXPECT_TRUE(app.tabs().stopping());
        EXPECT_TRUE((*events)["end"]->is_set());
        EXPECT_EQ((*queues)["end"]->get(std::chrono::milliseconds(10)), Json(nullptr));
        EXPECT_EQ((*queues)["get_receipt"]->get(std::chrono::milliseconds(10)), Json(nullptr));
    }
    // Without channels shut-down completes too.
    TermivaApp bare(nullptr, nullptr, dir.path());
    bare._shutdown();
    EXPECT_TRUE(bare.tabs().stopping());
}

TEST(FindBundled, PrefersTheProgramsBinFolderAndFallsBackToTheSearchPath) {
    testing::TempDir dir;
    TermivaApp app(nullptr, nullptr, dir.path() / "data");
    std::filesystem::create_directories(dir.path() / "prog" / "bin");
    app.set_module_dir_for_tests(dir.path() / "prog");
    EXPECT_FALSE(app._find_bundled("termiva-test-tool.exe", false));
    { std::ofstream(dir.path() / "prog" / "bin" / "termiva-test-tool") << "x"; }
    auto found = app._find_bundled("termiva-test-tool.exe", false);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, dir.path() / "prog" / "bin" / "termiva-test-tool");
    // "sh" is not shipped but exists on the search path.
    EXPECT_FALSE(app._find_bundled("sh.exe", false));
    ASSERT_TRUE(app._find_bundled("sh.exe", true));
    EXPECT_EQ(app._find_bundled("sh.exe", true)->filename(), "sh");
}

}  // namespace
}  // namespace termiva
