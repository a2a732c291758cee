// The assistant through the application object, against a fake `claude` the test writes
// (tests/support/fake_claude.h) and a temporary home folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "platform/assistant_program.h"
#include "support/fake_claude.h"
#include "unit/app_fixture.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

bool process_gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

// `value` right after `option` on the command line.
bool passes(const std::vector<std::string>& args, const std::string& option,
            const std::string& value) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option && args[i + 1] == value) return true;
    return false;
}

pid_t read_pid(const fs::path& file) {
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

// The permission mode the program is asked for (root may not bypass its prompts).
std::string permission_mode() {
    return platform::runs_as_administrator() ? "default" : "bypassPermissions";
}

class AssistantApp : public AppFixture {
protected:
    void SetUp() override {
        m_old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        ::setenv("HOME", (home.path()).c_str(), 1);
        AppFixture::SetUp();
        // The documents the build ships, in a program folder of the test's own.
        const fs::path shipped = fs::path(TERMIVA_PROGRAM_DIR) / "architecture";
        ASSERT_TRUE(fs::is_regular_file(shipped / "claude規範提示詞.md"));
        ASSERT_TRUE(fs::is_regular_file(shipped / "架構說明目錄.md"));
        fs::create_directories(program.path() / "architecture");
        for (const auto& doc : fs::directory_iterator(shipped))
            if (doc.path().extension() == ".md" &&
                doc.path().filename() != "_runtime_system_prompt.md")
                fs::copy_file(doc.path(), program.path() / "architecture" / doc.path().filename());
        app->set_module_dir_for_tests(program.path());
    }
    void TearDown() override { ::setenv("HOME", m_old_home.c_str(), 1); }

    Json send(const std::string& text, Json target = nullptr, int timeout = 30,
              Json tab_texts = nullptr) {
        return app
            ->call_bridge("claude_send", Json::array({text, "", target, timeout, false, tab_texts}))
            .value();
    }
    fs::path arch() const { return program.path() / "architecture"; }

    TempDir home, program, fake_dir;
    FakeClaude fake{fake_dir.path()};

private:
    std::string m_old_home;
};

TEST_F(AssistantApp, AnswersAndContinuesTheConversationWithResume) {
    const Json first = send("what is this?");
    EXPECT_EQ(first, (Json{{"ok", true}, {"error", ""}, {"reply", "answer 1"}}));
    EXPECT_EQ(fake.stdin_text(1), "what is this?");
    EXPECT_THAT(fake.args(1),
                ElementsAre("-p", "--model", "claude-opus-4-7", "--append-system-prompt",
                            ::testing::_, "--add-dir", arch().string(), "--effort", "xhigh",
                            "--permission-mode", permission_mode(), "--output-format", "json"));
    const std::string prompt = fake.args(1)[4];
    EXPECT_THAT(prompt, HasSubstr("`_runtime_system_prompt.md`"));
    EXPECT_THAT(prompt, HasSubstr("請**預設用 English (英文) 回覆**"));
    std::ifstream runtime(arch() / "_runtime_system_prompt.md");
    std::string first_line;
    std::getline(runtime, first_line);
    EXPECT_EQ(first_line, "===== claude規範提示詞.md =====");

    EXPECT_EQ(send("and then?")["reply"], "answer 2");
    EXPECT_THAT(fake.args(2),
                ElementsAre(::testing::_, ::testing::_, ::testing::_, ::testing::_, ::testing::_,
                            ::testing::_, ::testing::_, ::testing::_, ::testing::_, ::testing::_,
                            ::testing::_, ::testing::_, ::testing::_, "--resume", "sess-1"));
    EXPECT_EQ(app->call_bridge("claude_reset_session", Json::array()), Json(true));
    EXPECT_THAT(fake.args(1), Not(Contains("--resume")));
    send("new topic");
    EXPECT_THAT(fake.args(3), Not(Contains("--resume")));
}

TEST_F(AssistantApp, ChoicesShapeTheCommandLineAndSurviveARestart) {
    EXPECT_EQ(app->assistant().set_claude_model(Json("my-model"))["is_custom"], true);
    app->assistant().set_claude_effort(Json(false));
    send("q");
    EXPECT_TRUE(passes(fake.args(1), "--model", "my-model"));
    EXPECT_THAT(fake.args(1), Not(Contains("--effort")));

    EXPECT_EQ(app->assistant().set_claude_provider(Json("other"))["provider"], "claude");
    app->assistant().set_claude_provider(Json("deepseek"));
    const Json no_key = send("q");
    EXPECT_EQ(no_key["ok"], false);
    EXPECT_THAT(no_key["error"].get<std::string>(), HasSubstr("DeepSeek API key is not set"));
    EXPECT_EQ(fake.runs(), 1);  // never started without its settings

    app->assistant().set_claude_deepseek_credentials("k", nullptr, nullptr);
    app->assistant().set_claude_deepseek_model(Json(" deepseek-reasoner "));
    send("q");
    const fs::path settings = dir.path() / "deepseek-settings.json";
    EXPECT_THAT(fake.args(2),
                ElementsAre("-p", "--settings", settings.string(), "--model", "deepseek-reasoner",
                            "--append-system-prompt", ::testing::_, "--add-dir", arch().string(),
                            "--permission-mode", permission_mode(), "--output-format", "json",
                            "--resume", "sess-1"));

    app.reset();
    start();
    const Json models = app->assistant().claude_get_models();
    EXPECT_EQ(models["current"], "my-model");
    EXPECT_EQ(models["provider"], "deepseek");
    EXPECT_EQ(models["effort_enabled"], false);
    EXPECT_EQ(models["has_custom_settings"], true);
    EXPECT_EQ(models["builtin"].size(), 6u);
}

TEST_F(AssistantApp, ARuntimeFileThatCannotBeWrittenThereGoesToTheDataFolder) {
    fs::create_directories(arch() / "_runtime_system_prompt.md");  // a folder in its way
    send("q");
    EXPECT_TRUE(passes(fake.args(1), "--add-dir", dir.path().string()));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "_runtime_system_prompt.md"));
}

TEST_F(AssistantApp, DescribesTheOpenTabsInTheRequest) {
    const std::string a = open_idle_tab({{"name", "alpha"}, {"host", "h1"}, {"port", 23}});
    const std::string b = open_idle_tab({{"name", "beta"}, {"protocol", "serial"}});
    send("help", a, 30, Json{{b, "  beta says hi \n"}});
    const std::string text = fake.stdin_text(1);
    EXPECT_THAT(text,
                ::testing::StartsWith("help\n\n----- 當前 target 分頁設定（none · alpha） -----\n"
                                      "protocol: none\nhost: h1\nport: 23\n"));
    EXPECT_THAT(text, HasSubstr("tab_id: " + b + "\ndisplay: beta\nprotocol: serial\n"));
    EXPECT_THAT(text,
                HasSubstr("serial: 8-N-1 flow=N\n--- 該分頁最近輸出 ---\nbeta says hi\n-----"));
    EXPECT_THAT(text, Not(HasSubstr("tab_id: " + a)));
}

TEST_F(AssistantApp, AConversationThatCannotBeResumedIsAskedAgainOnceAsANewOne) {
    const std::string b = open_idle_tab({{"name", "beta"}});
    app->assistant().conversation().set_session_id_for_tests("gone");
    fake.mode("noresume");
    const Json r = send("again", nullptr, 30, Json{{b, "secret output"}});
    EXPECT_EQ(r["ok"], true) << r.dump();
    EXPECT_EQ(r["reply"], "fresh 2");
    ASSERT_EQ(fake.runs(), 2);
    EXPECT_TRUE(passes(fake.args(1), "--resume", "gone"));
    EXPECT_THAT(fake.args(2), Not(Contains("--resume")));
    EXPECT_THAT(fake.stdin_text(1), HasSubstr("secret output"));
    EXPECT_THAT(fake.stdin_text(2), Not(HasSubstr("secret output")));
    EXPECT_EQ(app->assistant().conversation().session_id(), "new-2");

    // An API error while resuming is no reason to drop the conversation.
    fake.mode("api 429");
    const Json limited = send("more");
    EXPECT_THAT(limited["error"].get<std::string>(), HasSubstr("Rate limit reached (HTTP 429)"));
    EXPECT_EQ(fake.runs(), 3);
    EXPECT_EQ(app->assistant().conversation().session_id(), "new-2");
}

TEST_F(AssistantApp, FailuresAreWordedForTheUser) {
    struct Case {
        const char* mode;
        bool ok;
        std::string error, reply;
    };
    const std::vector<Case> cases = {
        {"api 402", false,
         "Insufficient balance (HTTP 402). Your Anthropic account is out of credit — please top "
         "up at Anthropic before retrying.\n\nOriginal error: API Error: 402 boom",
         ""},
        {"api 503", false,
         "Anthropic server error (HTTP 503). This is not caused by your input — please retry in "
         "a moment.\n\nOriginal error: API Error: 503 boom",
         ""},
        {"api-text 402", false, "API Error: 402 boom", ""},
        {"exit3", false, "something broke", ""},
        {"silent-exit", false, "claude exit code 5", ""},
        {"notlogged", false, "Not logged in · Please run /login", ""},
        {"plain", true, "", "plain text answer"},
    };
    for (const auto& c : cases) {
        fake.mode(c.mode);
        const Json r = send("q");
        EXPECT_EQ(r, (Json{{"ok", c.ok}, {"error", c.error}, {"reply", c.reply}})) << c.mode;
    }
    fake.mode("error0");
    const Json r = send("q");
    EXPECT_EQ(r["ok"], false);
    EXPECT_THAT(r["error"].get<std::string>(), HasSubstr("Original error: slow down"));
    EXPECT_EQ(app->assistant().conversation().session_id(), "kept-" + std::to_string(fake.runs()));
}

TEST_F(AssistantApp, CancellingFromAnotherThreadEndsTheChildAndEverythingItStarted) {
    fake.mode("hang");
    auto pending = std::async(std::launch::async, [&] { return send("slow", nullptr, 60); });
    ASSERT_TRUE(eventually([&] { return fs::exists(fake_dir.path() / "child.pid"); },
                           std::chrono::seconds(10)));
    const pid_t self = read_pid(fake_dir.path() / "self.pid");
    const pid_t child = read_pid(fake_dir.path() / "child.pid");
    EXPECT_FALSE(process_gone(child));
    EXPECT_EQ(app->call_bridge("claude_reset_session", Json::array()), Json(true));
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(pending.get(),
              (Json{{"ok", false}, {"cancelled", true}, {"error", ""}, {"reply", ""}}));
    EXPECT_TRUE(eventually([&] { return process_gone(self) && process_gone(child); },
                           std::chrono::seconds(3)));
}

TEST_F(AssistantApp, ATimeOutKillsTheChildAndSaysHowLongItWaited) {
    fake.mode("hang");
    const Json r = send("slow", nullptr, 1);
    EXPECT_EQ(
        r,
        (Json{{"ok", false}, {"error", "Claude response timed out (1 seconds)."}, {"reply", ""}}));
    const pid_t child = read_pid(fake_dir.path() / "child.pid");
    EXPECT_TRUE(eventually([&] { return process_gone(child); }, std::chrono::seconds(3)));
}

TEST_F(AssistantApp, ReadinessFollowsTheProgramTheLoginAndTheKey) {
    Json state = app->assistant().claude_ai_state();
    EXPECT_EQ(state["installed"], true);
    EXPECT_EQ(state["logged_in"], false);
    EXPECT_EQ(state["ready"], false);
    Json status = app->assistant().claude_status();
    EXPECT_EQ(status["version"], "9.8.7 (Claude Code)");
    EXPECT_EQ(status["exe"], fake.program().string());
    EXPECT_THAT(status["hint"].get<std::string>(), HasSubstr("Not signed in to Claude Code"));

    const fs::path settings = home.path() / ".claude" / "settings.json";
    fs::create_directories(settings.parent_path());
    std::ofstream(settings) << R"({"theme":"dark","primaryApiKey":""})";
    EXPECT_EQ(app->assistant().claude_ai_state()["logged_in"], false);
    EXPECT_EQ(app->assistant().set_claude_api_key(Json("  sk-1 ")), (Json{{"ok", true}}));
    EXPECT_EQ(app->assistant().claude_ai_state()["ready"], true);
    struct stat st {};
    ASSERT_EQ(::stat(settings.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    app->assistant().set_claude_api_key(Json("  "));
    std::ifstream in(settings);
    EXPECT_EQ(Json::parse(in), (Json{{"theme", "dark"}}));
    std::ofstream(home.path() / ".claude" / ".credentials.json") << "{}";
    EXPECT_EQ(app->assistant().claude_status()["hint"], "");

    EXPECT_EQ(app->assistant().dismiss_ai_setup(), (Json{{"ok", true}}));
    EXPECT_EQ(app->assistant().claude_ai_state()["session_dismissed"], true);
    app->assistant().reset_ai_setup();
    EXPECT_EQ(app->assistant().claude_ai_state()["session_dismissed"], false);
}

TEST_F(AssistantApp, WithoutTheProgramEverythingSaysSoAndAnInstallMakesItAppear) {
    TempDir bin;
    const std::string old_path = std::getenv("PATH");
    ::setenv("PATH", bin.path().c_str(), 1);
    std::ofstream(dir.path() / "deepseek-settings.json") << "{}";
    EXPECT_EQ(app->assistant().claude_ai_state(), (Json{{"installed", false},
                                                        {"logged_in", false},
                                                        {"has_deepseek_settings", true},
                                                        {"has_backend", true},
                                                        {"ready", false},
                                                        {"session_dismissed", false}}));
    EXPECT_THAT(app->assistant().claude_status()["hint"].get<std::string>(),
                HasSubstr("Please install Claude Code first: https://"));
    EXPECT_THAT(send("q")["error"].get<std::string>(), HasSubstr("Cannot find claude executable"));
    EXPECT_EQ(app->assistant().start_claude_login(),
              (Json{{"ok", false}, {"error", "claude_not_installed"}}));

    // An installer that fails leaves the setup postponed for this run.
    std::ofstream(bin.path() / "npm") << "#!/bin/sh\necho nope >&2\nexit 1\n";
    ::chmod((bin.path() / "npm").c_str(), 0755);
    EXPECT_EQ(app->assistant().install_claude_code(), (Json{{"ok", false}}));
    EXPECT_EQ(app->assistant().claude_ai_state()["session_dismissed"], true);

    // One that puts the program into ~/.local/bin: found, and that folder joins PATH.
    std::ofstream(bin.path() / "npm") << "#!/bin/sh\n/bin/mkdir -p \"$HOME/.local/bin\"\n/bin/cp "
                                      << fake.program() << " \"$HOME/.local/bin/claude\"\n";
    EXPECT_EQ(app->assistant().install_claude_code(), (Json{{"ok", true}}));
    EXPECT_EQ(app->assistant().claude_ai_state()["installed"], true);
    EXPECT_THAT(std::string(std::getenv("PATH")), HasSubstr(home.path().string() + "/.local/bin"));
    ::setenv("PATH", old_path.c_str(), 1);
}

TEST_F(AssistantApp, FlagsOfATabAreToggledOnlyFromTheAllowList) {
    const std::string id = open_idle_tab({{"name", "alpha"}});
    const Json r =
        app->call_bridge("claude_toggle_session_flag", Json::array({id, "lfhascr"})).value();
    EXPECT_EQ(r["ok"], true);
    EXPECT_EQ(r["value"], true);
    EXPECT_EQ(r["sessions"][0]["lfhascr"], true);
    EXPECT_EQ(app->tabs().find_tab(id)->session->stored.at("lfhascr"), true);
    // The line goes to the page as a status line (a JSON literal, ASCII only).
    EXPECT_THAT(window->scripts(),
                Contains(HasSubstr(R"(\u2500 Enabled \"Implicit CR after LF (lfhascr)\" \u2500)")));
    EXPECT_EQ(app->assistant().claude_toggle_session_flag(id, "lfhascr")["value"], false);
    EXPECT_EQ(app->assistant().claude_toggle_session_flag(id, "password"),
              (Json{{"ok", false}, {"error", "Unauthorized flag: password"}}));
    EXPECT_EQ(app->assistant().claude_toggle_session_flag("nope", "crhaslf"),
              (Json{{"ok", false}, {"error", "Target tab not found"}}));
}

TEST_F(AssistantApp, TypesACommandIntoALocalShellTabAndOpensTheLoginInATab) {
    const std::string id = open({{"name", "sh"},
                                 {"protocol", "conpty"},
                                 {"host", "custom"},
                                 {"conpty_shell", "custom"},
                                 {"conpty_custom_command", "cat"}});
    ASSERT_TRUE(wait_until([&] { return app->tabs().find_tab(id)->backend != nullptr; },
                           std::chrono::seconds(10)));
    EXPECT_FALSE(app->assistant().claude_inject(id, Json(""), Json(true)));
    EXPECT_TRUE(app->assistant().claude_inject(id, Json("echo typed-by-test"), Json(true)));
    std::string seen;
    EXPECT_TRUE(wait_until(
        [&] {
            seen += app->tabs().drain_terminal(id);
            return seen.find("echo typed-by-test\r\n") != std::string::npos;
        },
        std::chrono::seconds(10)))
        << seen;

    const Json login = app->assistant().start_claude_login();
    ASSERT_EQ(login["ok"], true) << login.dump();
    const std::string login_tab = login["tab_id"].get<std::string>();
    EXPECT_THAT(app->tabs().order(), Contains(login_tab));
    EXPECT_TRUE(wait_until([&] { return fake.runs() == 1; }, std::chrono::seconds(10)));
    EXPECT_THAT(fake.args(1), ElementsAre("login"));
}

}  // namespace
}  // namespace termiva::testing
