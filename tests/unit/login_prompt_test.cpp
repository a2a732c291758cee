// A login's question in the tab: what the user types through the tab's input path, how it
// is shown, and what a peer's prompt may not do to the terminal.
#include <gtest/gtest.h>

#include <future>

#include "app/tabs/login_prompt.h"
#include "text/utf8.h"
#include "unit/app_fixture.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

class LoginPromptTest : public testing::AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        id = open_idle_tab();
        app->tabs().drain_terminal(id);
    }

    // Asks on another thread, as a connection does, and returns once the question shows.
    std::future<std::string> ask(const std::string& question, bool echo) {
        prompt = std::make_shared<LoginPrompt>(app->tabs(), id, limit);
        {
            TabPtr tab = app->tabs().find_tab(id);
            std::lock_guard lock(tab->lock);
            tab->login_prompt = prompt;
        }
        auto answer = std::async(std::launch::async,
                                 [p = prompt, question, echo] { return p->ask(question, echo); });
        EXPECT_TRUE(wait_until([&] {
            shown += app->tabs().drain_terminal(id);
            return shown.find(terminal_safe(question)) != std::string::npos;
        }));
        return answer;
    }

    std::string id;
    std::chrono::milliseconds limit = 10s;
    std::shared_ptr<LoginPrompt> prompt;
    std::string shown;
};

TEST_F(LoginPromptTest, AVisibleAnswerIsEditedAsTypedAndCursorKeysAreIgnored) {
    auto answer = ask("Verification code: ", true);
    EXPECT_TRUE(app->tabs().send_input(id, "12x"));
    EXPECT_TRUE(app->tabs().send_input(id, "\x7f"));
    EXPECT_TRUE(
        app->tabs().send_input(id, "\x1b[D"));  // a cursor key: one piece, all of it dropped
    EXPECT_TRUE(app->tabs().send_input(id,
                                       "junk\x15"
                                       "3\xc3\xa9"));
    EXPECT_TRUE(app->tabs().send_input(id, "4\r"));
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(answer.get(),
              "3\xc3\xa9"
              "4");  // Ctrl-U took back the whole line before it
    shown += app->tabs().drain_terminal(id);
    std::string erased;
    for (int i = 0; i < 6; ++i)
        erased += "\b \b";
    EXPECT_NE(shown.find("12x\b \bjunk" + erased +
                         "3\xc3\xa9"
                         "4\r\n"),
              std::string::npos)
        << shown;
    // Nothing is asked any more: typing goes nowhere.
    EXPECT_FALSE(app->tabs().send_input(id, "more\r"));
}

TEST_F(LoginPromptTest, AHiddenAnswerIsBoundedAndNeverShown) {
    auto answer = ask("Password: ", false);
    const std::string flood(3000, 'a');
    EXPECT_TRUE(app->tabs().send_input(id, flood));
    // A two-byte character that no longer fits whole is left out, not cut in half.
    EXPECT_TRUE(app->tabs().send_input(id, "\xc3\xa9\r"));
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    const std::string got = answer.get();
    EXPECT_EQ(got, std::string(LoginPrompt::MAX_LINE, 'a'));
    shown += app->tabs().drain_terminal(id);
    EXPECT_EQ(shown.find("aaaa"), std::string::npos) << shown;
}

TEST_F(LoginPromptTest, CtrlCCancelsAndNoLaterQuestionIsAsked) {
    auto answer = ask("Password: ", false);
    EXPECT_TRUE(app->tabs().send_input(id, "sec\x03ret\r"));
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(answer.get(), LoginAbandoned);
    EXPECT_THROW(prompt->ask("again: ", false), LoginAbandoned);
}

TEST_F(LoginPromptTest, AQuestionNobodyAnswersEndsWithTheTimeLimit) {
    limit = 50ms;
    auto answer = ask("Password: ", false);
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    try {
        answer.get();
        FAIL() << "an unanswered question returned";
    } catch (const LoginAbandoned& e) {
        EXPECT_NE(std::string(e.what()).find("no answer"), std::string::npos) << e.what();
    }
}

TEST(TerminalSafe, APeersPromptCannotSteerTheTerminal) {
    EXPECT_EQ(terminal_safe("a\x1b[2Jb\xc2\x9b"
                            "31mc\x07\x7f\nd\te \xc2\xa0\xc3\xa9"),
              "a[2Jb31mc\r\nd\te \xc2\xa0\xc3\xa9");
    EXPECT_EQ(terminal_safe("bad \xff byte"), "bad \xef\xbf\xbd byte");
    EXPECT_LE(terminal_safe(std::string(100000, 'q')).size(),
              text::STATUS_LINE_MAX + text::CUT_MARK.size());
}

}  // namespace
}  // namespace termiva
