// The request `claude` receives, its command line, the wording of API failures and the
// provider settings files: the assistant component alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "assistant/request.h"
#include "assistant/settings.h"
#include "support/test_support.h"

namespace termiva::assistant {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// The English texts the application's catalog holds for the keys used here.
std::string english(std::string_view key, const MessageValues& values) {
    static const std::map<std::string, std::string, std::less<>> texts = {
        {"err.api.auth", "Authentication failed (HTTP {status}). Your {provider} API key"},
        {"err.api.balance", "Insufficient balance (HTTP 402). Your {provider} account is out"},
        {"err.api.ratelimit", "Rate limit reached (HTTP 429). {provider} quota."},
        {"err.api.server", "{provider} server error (HTTP {status})."},
        {"err.api.generic", "{provider} API error (HTTP {status})."},
        {"err.api.raw_label", "Original error"},
        {"claude.report_err", "claude reported an error"}};
    auto it = texts.find(key);
    std::string text = it == texts.end() ? std::string(key) : it->second;
    for (const auto& [name, value] : values) {
        const std::string mark = "{" + name + "}";
        for (auto pos = text.find(mark); pos != std::string::npos; pos = text.find(mark))
            text.replace(pos, mark.size(), value);
    }
    return text;
}

TabInfo tab(std::string id, Json session, std::string encoding = "utf-8", bool alive = true) {
    TabInfo t;
    t.id = std::move(id);
    t.display = session.value("name", "");
    t.protocol = session.value("protocol", "ssh");
    t.encoding = std::move(encoding);
    t.alive = alive;
    t.session = std::move(session);
    return t;
}

TEST(AssistantRequest, IsTheQuestionAloneWithoutTargetTerminalOrOtherTabs) {
    RequestInput in;
    in.user_text = "why?";
    in.terminal_text = "  \n \n ";
    EXPECT_EQ(build_request_text(in), "why?");
}

TEST(AssistantRequest, DescribesTheTargetTabThenItsOutputThenTheOtherTabs) {
    RequestInput in;
    in.user_text = "";
    in.tabs = {tab("aaaa0001",
                   {{"name", "router"},
                    {"protocol", "ssh"},
                    {"host", "10.0.0.1"},
                    {"port", 22},
                    {"lfhascr", true}},
                   "big5"),
               tab("bbbb0002", {{"name", "board"}, {"protocol", "serial"}}, "utf-8", false),
               tab("cccc0003", {{"name", "shell"},
                                {"protocol", "conpty"},
                                {"host", "bash"},
                                {"port", ""},
                                {"crhaslf", 1}})};
    in.target_tab_id = "aaaa0001";
    in.terminal_text = "\n  $ ls\nfile  \n";
    in.tab_texts = {{"cccc0003", "  recent line \n"}, {"bbbb0002", "   "}};
    EXPECT_EQ(
        build_request_text(in),
        "\n\n----- 當前 target 分頁設定（ssh · router） -----\n"
        "protocol: ssh\nhost: 10.0.0.1\nport: 22\nencoding: big5\n"
        "lfhascr (LF 後隱含 CR): True\ncrhaslf (CR 後隱含 LF): False\n"
        "terminal_type: xterm-256color\n-----"
        "\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）-----\n"
        "$ ls\nfile"
        "\n\n----- 其他已開啟的分頁（僅顯示設定；要看內容請用 `read_tab <tab_id>` action "
        "取得使用者同意） -----\n"
        "tab_id: bbbb0002\ndisplay: board\nprotocol: serial\nhost: None\nport: None\n"
        "encoding: utf-8\nalive: False\nlfhascr: False\ncrhaslf: False\n"
        "serial: 8-N-1 flow=N\n\n"
        "tab_id: cccc0003\ndisplay: shell\nprotocol: conpty\nhost: bash\nport: \n"
        "encoding: utf-8\nalive: True\nlfhascr: False\ncrhaslf: True\n"
        "--- 該分頁最近輸出 ---\nrecent line\n-----");
}

TEST(AssistantRequest, ATargetThatIsNotOpenAddsNoBlockAndSerialTargetsShowTheirLine) {
    RequestInput in;
    in.user_text = "q";
    in.target_tab_id = "gone";
    EXPECT_EQ(build_request_text(in), "q");
    in.tabs = {tab("t1", {{"protocol", "telnet-serial"},
                          {"serial_bits", "7"},
                          {"serial_parity", "E"},
                          {"serial_stop", "2"},
                          {"serial_flow", "X"},
                          {"terminal_type", "vt100"}})};
    in.target_tab_id = "t1";
    const std::string text = build_request_text(in);
    EXPECT_THAT(text, HasSubstr("terminal_type: vt100\nserial: 7-E-2 flow=X\n-----"));
    EXPECT_THAT(text, Not(HasSubstr("其他已開啟的分頁")));
}

CommandInput command(std::string provider) {
    CommandInput c;
    c.exe = "/opt/claude";
    c.choice.provider = std::move(provider);
    c.choice.model = "claude-sonnet-4-6";
    c.choice.deepseek_model = "";
    c.deepseek_settings = "/data/deepseek-settings.json";
    c.system_prompt = "PROMPT";
    c.arch_dir = "/prog/architecture";
    return c;
}

TEST(AssistantCommandLine, ClaudeProviderCarriesModelEffortAndResumeInOrder) {
    CommandInput c = command("claude");
    c.prompt_dir = "/prog/architecture";
    c.session_id = "s-1";
    EXPECT_THAT(build_command_line(c),
                ElementsAre("/opt/claude", "-p", "--model", "claude-sonnet-4-6",
                            "--append-system-prompt", "PROMPT", "--add-dir", "/prog/architecture",
                            "--effort", "xhigh", "--permission-mode", "bypassPermissions",
                            "--output-format", "json", "--resume", "s-1"));
    c.choice.effort_enabled = false;
    c.prompt_dir = "/data";
    c.session_id.reset();
    EXPECT_THAT(
        build_command_line(c),
        ElementsAre("/opt/claude", "-p", "--model", "claude-sonnet-4-6", "--append-system-prompt",
                    "PROMPT", "--add-dir", "/prog/architecture", "--add-dir", "/data",
                    "--permission-mode", "bypassPermissions", "--output-format", "json"));
}

TEST(AssistantCommandLine, AsAdministratorTheProgramKeepsItsDefaultPermissionMode) {
    CommandInput c = command("claude");
    c.administrator = true;
    const auto argv = build_command_line(c);
    EXPECT_THAT(std::vector<std::string>(argv.end() - 4, argv.end()),
                ElementsAre("--permission-mode", "default", "--output-format", "json"));
}

TEST(AssistantCommandLine, DeepSeekPassesItsSettingsNeverEffortAndAModelOnlyWhenChosen) {
    CommandInput c = command("deepseek");
    EXPECT_THAT(build_command_line(c),
                ElementsAre("/opt/claude", "-p", "--settings", "/data/deepseek-settings.json",
                            "--append-system-prompt", "PROMPT", "--add-dir", "/prog/architecture",
                            "--permission-mode", "bypassPermissions", "--output-format", "json"));
    c.choice.deepseek_model = "deepseek-reasoner";
    const auto argv = build_command_line(c);
    EXPECT_THAT(
        std::vector<std::string>(argv.begin() + 2, argv.begin() + 6),
        ElementsAre("--settings", "/data/deepseek-settings.json", "--model", "deepseek-reasoner"));
}

TEST(AssistantApiErrors, EachStatusGetsItsMessageAndTheRawTextFollowsUnderItsLabel) {
    const Json balance{{"api_error_status", 402},
                       {"result", "API Error: 402 Insufficient Balance"}};
    EXPECT_EQ(_humanize_claude_api_error(balance, "deepseek", english),
              "Insufficient balance (HTTP 402). Your DeepSeek account is out\n\nOriginal error: "
              "API Error: 402 Insufficient Balance");
    for (long long s : {401LL, 403LL})
        EXPECT_THAT(_humanize_claude_api_error({{"api_error_status", s}}, "claude", english),
                    HasSubstr("Authentication failed (HTTP " + std::to_string(s) +
                              "). Your Anthropic API key"));
    EXPECT_EQ(_humanize_claude_api_error({{"api_error_status", 429}}, "claude", english),
              "Rate limit reached (HTTP 429). Anthropic quota.");
    for (long long s : {500LL, 502LL, 503LL, 504LL})
        EXPECT_EQ(api_error_key(s), "err.api.server");
    EXPECT_EQ(_humanize_claude_api_error({{"api_error_status", 418}, {"error", "Anthropic"}},
                                         "claude", english),
              "Anthropic API error (HTTP 418).");  // the raw text is inside the message
}

TEST(AssistantApiErrors, WithoutAnIntegerStatusTheRawTextOrTheGenericReportIsGiven) {
    EXPECT_EQ(_humanize_claude_api_error({{"api_error_status", "402"}, {"result", " raw 402 "}},
                                         "claude", english),
              "raw 402");
    EXPECT_EQ(_humanize_claude_api_error({{"result", ""}}, "claude", english),
              "claude reported an error");
}

TEST(AssistantPrompt, RuntimeFileHoldsBothDocumentsAndFallsBackToTheDataFolder) {
    testing::TempDir arch, data;
    EXPECT_EQ(_write_claude_runtime_system_prompt(arch.path(), data.path()).second, std::nullopt);
    std::ofstream(arch.path() / RULES_DOC) << "RULES";
    std::ofstream(arch.path() / INDEX_DOC) << "INDEX";
    auto [dir, file] = _write_claude_runtime_system_prompt(arch.path(), data.path());
    ASSERT_TRUE(dir && file);
    EXPECT_EQ(*dir, arch.path());
    std::ifstream in(arch.path() / *file);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(),
              "===== claude規範提示詞.md =====\nRULES\n\n===== 架構說明目錄.md "
              "=====\nINDEX");
    if (::geteuid() != 0) {  // root writes anywhere
        ::chmod(arch.path().c_str(), 0555);
        EXPECT_EQ(_write_claude_runtime_system_prompt(arch.path(), data.path()).first, data.path());
        ::chmod(arch.path().c_str(), 0755);
    }
    const std::string inline_prompt = _build_claude_system_prompt(arch.path(), "zh-Hant");
    EXPECT_THAT(inline_prompt, HasSubstr("請**預設用 繁體中文 回覆**"));
    EXPECT_THAT(inline_prompt, HasSubstr("===== 架構說明目錄.md =====\nINDEX"));
    EXPECT_THAT(_lang_directive("fr"), HasSubstr("`fr`。請**預設用 English (英文) 回覆**"));
}

TEST(AssistantSettings, ChoicesFallBackToTheirDefaults) {
    const ProviderChoice d = choice_from_settings({{"claude_provider", "openai"},
                                                   {"claude_model", "   "},
                                                   {"claude_deepseek_model", 3},
                                                   {"claude_effort_enabled", "yes"}});
    EXPECT_EQ(d.provider, "claude");
    EXPECT_EQ(d.model, "claude-opus-4-7");
    EXPECT_EQ(d.deepseek_model, "");
    EXPECT_TRUE(d.effort_enabled);
    EXPECT_EQ(model_value(" my-model "), "my-model");
    EXPECT_FALSE(is_builtin_model("my-model"));
    EXPECT_EQ(provider_value("deepseek"), "deepseek");
}

TEST(AssistantSettings, DeepSeekCredentialsKeepOtherMembersAndAreOwnerOnly) {
    testing::TempDir dir;
    const auto file = dir.path() / "sub" / "deepseek-settings.json";
    Json written = write_deepseek_credentials(file, " key-1 ", nullptr, nullptr);
    EXPECT_EQ(written["ok"], true);
    EXPECT_EQ(written["api_key"], "key-1");
    Json read = read_deepseek_credentials(file);
    EXPECT_EQ(read["base_url"], "https://api.deepseek.com/anthropic");
    EXPECT_EQ(read["model"], "deepseek-chat");
    EXPECT_EQ(read["exists"], true);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::ofstream(file)
        << R"({"permissions":{"allow":["Read"]},"env":{"ANTHROPIC_MODEL":"m9","X":"1"}})";
    write_deepseek_credentials(file, "key-2", " https://h/anthropic/ ", "");
    std::ifstream in(file);
    const Json obj = Json::parse(in);
    EXPECT_EQ(obj["permissions"]["allow"][0], "Read");
    EXPECT_EQ(obj["env"]["X"], "1");
    EXPECT_EQ(obj["env"]["ANTHROPIC_MODEL"], "m9");
    EXPECT_EQ(obj["env"]["ANTHROPIC_BASE_URL"], "https://h/anthropic/");
    EXPECT_EQ(obj["env"]["ANTHROPIC_AUTH_TOKEN"], "key-2");

    std::ofstream(file) << "[1,2]";
    read = read_deepseek_credentials(file);
    EXPECT_EQ(read["exists"], false);
    EXPECT_TRUE(read.contains("error"));
    EXPECT_EQ(write_deepseek_credentials(file, "k", nullptr, nullptr)["ok"], true);
}

TEST(AssistantSettings, ModelListAddressDropsTheAnthropicEnding) {
    EXPECT_EQ(deepseek_models_url("https://api.deepseek.com/anthropic/"),
              "https://api.deepseek.com/models");
    EXPECT_EQ(deepseek_models_url("http://h:8/v1//"), "http://h:8/v1/models");
}

}  // namespace
}  // namespace termiva::assistant
