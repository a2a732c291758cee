// The assistant through the real termiva-host against a fake `claude` put where a user's
// would be found (tests/support/host_fake_claude.h): on the search path here, npm's
// claude.cmd in %APPDATA%\npm for the Windows host under Wine. Text a user or the program
// chose (a model name, the program's own session id, the question) reaches the program
// unchanged, and none of it runs as a command on the way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/host_fake_claude.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

// The value right after `option` on the command line, or "<missing>".
std::string value_of(const std::vector<std::string>& args, const std::string& option) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option) return args[i + 1];
    return "<missing>";
}

json ask(HostProcess& host, const std::string& question) {
    return host.call("claude_send", json::array({question, "", nullptr, 60, false, nullptr}), 90s);
}

TEST(AssistantHost, FindsTheProgramAndAwkwardTextReachesItUnchanged) {
    TempDir data, fake_dir;
    HostFakeClaude fake(fake_dir.path());
    const fs::path marker = fake_dir.path() / "injected";
    // A session id is the program's to choose; this one would run a command if it were not
    // kept inside its quotes.
    const std::string session =
        "s 1 \"q\" & echo pwned>\"" + host_path(marker) + "\" & 會話 ^x | y";
    fake.records().mode("reply " + json{{"type", "result"},
                                        {"is_error", false},
                                        {"result", "答案 \"one\" & more"},
                                        {"session_id", session}}
                                       .dump());
    HostProcess host(data.path());

    const json status = host.call("claude_status", json::array(), 30s);
    EXPECT_EQ(status["installed"], true) << status.dump();
    EXPECT_EQ(status["version"], "9.8.7 (Claude Code)") << status.dump();
    EXPECT_EQ(status["exe"], fake.host_program());

    const std::string model = "my \"model\" & 模型 (x)";
    host.call("set_claude_model", json::array({model}));
    const std::string question = "why \"this\" & that? | 為什麼 100% ^";
    EXPECT_EQ(ask(host, question),
              (json{{"ok", true}, {"error", ""}, {"reply", "答案 \"one\" & more"}}));
    ASSERT_EQ(fake.records().runs(), 1);
    EXPECT_EQ(fake.records().stdin_text(1), question);
    const auto first = fake.records().args(1);
    EXPECT_EQ(value_of(first, "--model"), model);
    EXPECT_EQ(value_of(first, "--add-dir"), host_path(host_program_dir() / "architecture"));
    const std::string prompt = value_of(first, "--append-system-prompt");
    EXPECT_THAT(prompt, HasSubstr("`_runtime_system_prompt.md`"));
    EXPECT_THAT(prompt, HasSubstr("請**預設用 English (英文) 回覆**"));
    if (host_under_wine()) {
        EXPECT_THAT(prompt, Not(HasSubstr("\n")));
    }

    fake.records().mode("ok");
    EXPECT_EQ(ask(host, "and then?")["reply"], "answer 2");
    EXPECT_EQ(value_of(fake.records().args(2), "--resume"), session);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(host.quit(), 0);
    // The program folder stays as built.
    fs::remove(host_program_dir() / "architecture" / "_runtime_system_prompt.md");
}

}  // namespace
}  // namespace termiva::testing
