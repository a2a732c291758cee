// Waiting for a child's end through its pidfd: back when it ends, not at the deadline; at
// the deadline when it does not; at once for a process that is gone.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "platform/linux/child_end.h"

namespace termiva::platform::linux_process {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child that sleeps for `seconds` (fork + exec of sleep).
pid_t sleeper(const char* seconds) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("sleep", "sleep", seconds, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

TEST(ChildEnd, ReturnsWhenTheChildEndsLongBeforeTheDeadline) {
    const pid_t pid = sleeper("0.3");
    ASSERT_GT(pid, 0);
    const auto t0 = Clock::now();
    wait_for_end(pid, t0 + 30s);
    const auto waited = Clock::now() - t0;
    int status = 0;
    // Ended means reapable at once.
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), pid);
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 10s);
}

TEST(ChildEnd, ReturnsAtTheDeadlineWhileTheChildRuns) {
    const pid_t pid = sleeper("30");
    ASSERT_GT(pid, 0);
    const auto t0 = Clock::now();
    wait_for_end(pid, t0 + 300ms);
    const auto waited = Clock::now() - t0;
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "still running";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 10s);
}

TEST(ChildEnd, ReturnsAtOnceForAChildAlreadyReaped) {
    const pid_t pid = sleeper("0");
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const auto t0 = Clock::now();
    wait_for_end(pid, t0 + 30s);
    EXPECT_LT(Clock::now() - t0, 10s);
}

}  // namespace
}  // namespace termiva::platform::linux_process
