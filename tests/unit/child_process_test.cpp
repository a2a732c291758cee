// Helper programs on pipes: input a child never reads cannot end our process (SIGPIPE),
// a time limit is kept, and a kill ends the whole group.
#include <gtest/gtest.h>

#include <system_error>
#include <thread>

#include "platform/child_process.h"

namespace termiva::platform {
namespace {

TEST(ChildProcess, InputTheChildNeverReadsNeitherBlocksNorKillsUs) {
    ChildProcess child({"/bin/sh", "-c", "exec 0<&-; echo done"});
    const auto run = child.communicate(std::string(8 << 20, 'x'), std::chrono::seconds(20));
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "done\n");
}

TEST(ChildProcess, CollectsBothStreamsAndTheExitCode) {
    ChildProcess child({"/bin/sh", "-c", "cat; echo oops >&2; exit 7"});
    const auto run = child.communicate("echoed", std::chrono::seconds(20));
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.out, "echoed");
    EXPECT_EQ(run.err, "oops\n");
    EXPECT_EQ(run.exit_code, 7);
}

TEST(ChildProcess, TheLimitIsKeptAndAKillEndsTheGroup) {
    ChildProcess child({"/bin/sh", "-c", "sleep 30 & sleep 30"});
    const auto start = std::chrono::steady_clock::now();
    const auto run = child.communicate("", std::chrono::milliseconds(200));
    EXPECT_FALSE(run.finished);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_GE(processes_in_group(child.pid()).size(), 2u);
    child.kill_group();
    EXPECT_TRUE(child.wait_for_exit(std::chrono::seconds(5)));
    for (int i = 0; i < 100 && !processes_in_group(child.pid()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(processes_in_group(child.pid()).empty());
    child.kill_group();  // after the reap: a no-op, never a signal to a reused id
}

TEST(ChildProcess, AProgramThatDoesNotExistIsAnError) {
    EXPECT_THROW(ChildProcess({"/nonexistent/claude"}), std::system_error);
}

}  // namespace
}  // namespace termiva::platform
