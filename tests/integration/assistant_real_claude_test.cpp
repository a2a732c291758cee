// The real `claude` program (npm's @anthropic-ai/claude-code) with a fresh home folder: no
// login, and no way to reach the vendor. Its version is read, and a question comes back as
// a failure the panel can show, well within the time-out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/app_fixture.h"

namespace termiva::testing {
namespace {

class RealClaude : public AppFixture {
protected:
    void SetUp() override {
        m_old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        ::setenv("HOME", home.path().c_str(), 1);
        AppFixture::SetUp();
    }
    void TearDown() override { ::setenv("HOME", m_old_home.c_str(), 1); }
    TempDir home;

private:
    std::string m_old_home;
};

TEST_F(RealClaude, ReportsItsVersionAndNoLogin) {
    TERMIVA_REQUIRE_PROGRAM(claude, "claude");
    const Json status = app->call_bridge("claude_status", Json::array()).value();
    EXPECT_EQ(status["installed"], true) << status.dump();
    EXPECT_THAT(status["version"].get<std::string>(), ::testing::HasSubstr("Claude Code"));
    EXPECT_EQ(status["logged_in"], false);
    EXPECT_THAT(status["hint"].get<std::string>(), ::testing::HasSubstr("Not signed in"));
}

TEST_F(RealClaude, AQuestionWithoutLoginOrNetworkFailsReadablyWithinTheTimeOut) {
    TERMIVA_REQUIRE_PROGRAM(claude, "claude");
    const int timeout = 90;
    const auto start = std::chrono::steady_clock::now();
    const Json r =
        app->call_bridge("claude_send", Json::array({"Say hello.", "", nullptr, timeout})).value();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(timeout + 5));
    EXPECT_EQ(r["ok"], false) << r.dump();
    EXPECT_FALSE(r.contains("cancelled"));
    EXPECT_FALSE(r["error"].get<std::string>().empty());
    EXPECT_EQ(r["reply"], "");
    std::cerr << "real claude answered in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms: " << r["error"].get<std::string>() << "\n";
}

}  // namespace
}  // namespace termiva::testing
