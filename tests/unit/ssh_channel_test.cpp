// The thread-safe channel façade, driven from both of its sides without a network.
#include <gtest/gtest.h>
#include <poll.h>

#include <future>
#include <thread>

#include "connect/ssh2/io_waker.h"
#include "connect/ssh2/ssh_channel.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

bool readable(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
}

class SshChannelTest : public ::testing::Test {
protected:
    std::shared_ptr<ssh2::IoWaker> waker = std::make_shared<ssh2::IoWaker>();
    SshChannel channel{waker};
};

TEST_F(SshChannelTest, SentBytesWaitForTheIoThreadAndWakeIt) {
    EXPECT_FALSE(waker->take_pending());
    channel.send("hello ");
    channel.send("world");
    EXPECT_TRUE(waker->take_pending());
    EXPECT_EQ(channel.take_outbound(5), "hello");
    EXPECT_EQ(channel.take_outbound(100), " world");
    EXPECT_FALSE(channel.has_outbound());
}

TEST_F(SshChannelTest, ReceivedBytesComeOutInOrderAndInPieces) {
    EXPECT_FALSE(readable(channel.readable_fd()));
    channel.deliver("abcdef");
    EXPECT_TRUE(readable(channel.readable_fd()));
    EXPECT_EQ(channel.recv(4), "abcd");
    EXPECT_EQ(channel.recv(4), "ef");
    EXPECT_FALSE(readable(channel.readable_fd()));
}

TEST_F(SshChannelTest, EndOfStreamKeepsUnreadBytesReadable) {
    channel.deliver("last words");
    channel.end_of_stream();
    EXPECT_FALSE(channel.closed());
    EXPECT_EQ(channel.recv(4096), "last words");
    EXPECT_TRUE(channel.closed());
    EXPECT_EQ(channel.recv(4096), "");
    EXPECT_THROW(channel.send("x"), BackendError);
}

TEST_F(SshChannelTest, FailureReasonIsKept) {
    channel.end_of_stream("connection reset");
    EXPECT_EQ(channel.failure(), "connection reset");
    try {
        channel.send("x");
        FAIL();
    } catch (const BackendError& e) {
        EXPECT_EQ(std::string(e.what()), "connection reset");
    }
}

TEST_F(SshChannelTest, CloseFromAnotherThreadEndsABlockedRecv) {
    auto reader = std::async(std::launch::async, [&] { return channel.recv(4096); });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    channel.close();
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reader.get(), "");
    EXPECT_TRUE(channel.closed());
    EXPECT_TRUE(channel.close_requested());
    channel.close();  // twice is fine
}

TEST_F(SshChannelTest, ResizeIsHandedOverOnceWithRowsFirst) {
    channel.resize_pty(132, 50);
    auto size = channel.take_resize();
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->first, 50);
    EXPECT_EQ(size->second, 132);
    EXPECT_FALSE(channel.take_resize().has_value());
}

TEST_F(SshChannelTest, InboundRoomShrinksAndAFullBufferWakesTheIoThreadWhenRead) {
    EXPECT_EQ(channel.inbound_room(), SshChannel::INBOUND_LIMIT);
    channel.deliver(std::string(SshChannel::INBOUND_LIMIT, 'x'));
    EXPECT_EQ(channel.inbound_room(), 0u);
    waker->take_pending();
    EXPECT_EQ(channel.recv(4096).size(), 4096u);
    EXPECT_TRUE(waker->take_pending());
    EXPECT_EQ(channel.inbound_room(), 4096u);
}

TEST_F(SshChannelTest, SendBlocksWhileTooMuchIsUnsentAndResumesWhenTaken) {
    channel.send(std::string(SshChannel::OUTBOUND_LIMIT, 'y'));
    auto writer = std::async(std::launch::async, [&] { channel.send("more"); });
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(channel.take_outbound(SshChannel::OUTBOUND_LIMIT).size(), SshChannel::OUTBOUND_LIMIT);
    ASSERT_EQ(writer.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(channel.take_outbound(100), "more");
}

TEST_F(SshChannelTest, ConcurrentSenderAndReceiverLoseNothing) {
    constexpr int COUNT = 2000;
    auto io = std::async(std::launch::async, [&] {
        std::string sent;
        while (sent.size() < COUNT * 4) {
            sent += channel.take_outbound(1000);
            std::this_thread::yield();
        }
        channel.deliver(sent);
        channel.end_of_stream();
        return sent;
    });
    for (int i = 0; i < COUNT; ++i)
        channel.send(std::to_string(1000 + i));
    std::string echoed;
    for (;;) {
        const std::string part = channel.recv(512);
        if (part.empty()) break;
        echoed += part;
    }
    const std::string sent = io.get();
    std::string expected;
    for (int i = 0; i < COUNT; ++i)
        expected += std::to_string(1000 + i);
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(echoed, expected);
}

}  // namespace
}  // namespace termiva
