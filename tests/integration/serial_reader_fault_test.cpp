// A serial tab whose handling of received bytes fails once (here: the job in its slot
// throws) logs it and goes on reading the same port: the tab stays alive and the next
// bytes reach the terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "support/socat_link.h"
#include "unit/app_fixture.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;
using SerialReaderFault = testing::AppFixture;

class ThrowingJob : public Job {
public:
    void start() override {}
    void feed(std::string_view) override {
        ++fed;
        throw std::runtime_error("handling failed on purpose");
    }
    bool is_done() const override { return false; }
    void cancel() override {}
    std::atomic<int> fed{0};
};

TEST_F(SerialReaderFault, AFailureWhileHandlingReceivedBytesIsLoggedAndReadingGoesOn) {
    auto socat = testing::find_program("socat");
    if (!socat) {
        if (testing::peers_required()) FAIL() << "missing socat";
        GTEST_SKIP() << "peer program socat not installed";
    }
    testing::SocatLink link(*socat, dir.path() / "ttyHost", dir.path() / "ttyBoard");
    ASSERT_TRUE(link.start());
    testing::TtyEnd board(link.b());
    const std::string tab = open(
        {{"name", "board"}, {"protocol", "serial"}, {"host", link.a().string()}, {"port", 115200}});
    std::string shown;
    ASSERT_TRUE(wait_until([&] {
        shown += app->tabs().drain_terminal(tab);
        return shown.find("---\r\n") != std::string::npos;
    }));
    TabPtr record = app->tabs().find_tab(tab);
    ASSERT_TRUE(record);
    auto job = std::make_shared<ThrowingJob>();
    ASSERT_EQ(app->transfer().occupy(record, job), TransferCoordinator::Occupy::taken);
    ASSERT_TRUE(board.write_all("lost\r\n"));
    ASSERT_TRUE(wait_until([&] { return job->fed > 0; }));
    ASSERT_EQ(app->transfer().vacate(tab, job.get()), job);
    ASSERT_TRUE(board.write_all("after\r\n"));
    shown.clear();
    EXPECT_TRUE(wait_until([&] {
        shown += app->tabs().drain_terminal(tab);
        return shown.find("after\r\n") != std::string::npos;
    })) << shown;
    EXPECT_EQ(record->state(), TabState::connected);
    app->tabs().close_tab(tab);
}

}  // namespace
}  // namespace termiva
