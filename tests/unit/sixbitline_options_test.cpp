// Construction of the SUPDUP client: defaults, conversions, and the operations that are
// harmless before a connection exists. No network involved.
#include <gtest/gtest.h>

#include <limits>

#include "sixbitline/sixbitline.h"

namespace termiva {
namespace {

TEST(SixbitlineOptions, DefaultsMatchAnOrdinaryTerminalTab) {
    Sixbitline client(SixbitlineOptions{.host = "its.example"});
    EXPECT_EQ(client.host(), "its.example");
    EXPECT_EQ(client.port(), 95);
    EXPECT_EQ(client.term_width(), 80);
    EXPECT_EQ(client.term_height(), 24);
    EXPECT_EQ(client.charset(), "ascii");
    EXPECT_FALSE(client.more_processing());
    EXPECT_TRUE(client.scrolling());
    EXPECT_EQ(client.location(), "Termiva");
    EXPECT_DOUBLE_EQ(client.timeout(), 15.0);
    EXPECT_FALSE(client.is_closed());
}

TEST(SixbitlineOptions, ZeroPortMeansTheSupdupPort) {
    Sixbitline client(SixbitlineOptions{.host = "h", .port = 0});
    EXPECT_EQ(client.port(), Sixbitline::DEFAULT_PORT);
    Sixbitline other(SixbitlineOptions{.host = "h", .port = 3095});
    EXPECT_EQ(other.port(), 3095);
}

TEST(SixbitlineOptions, OnlyTheThreeCharsetNamesAreKept) {
    for (const char* name : {"ascii", "its", "waits"}) {
        Sixbitline client(SixbitlineOptions{.host = "h", .charset = name});
        EXPECT_EQ(client.charset(), name);
    }
    for (const char* name : {"ITS", "sail", "", "utf-8"}) {
        Sixbitline client(SixbitlineOptions{.host = "h", .charset = name});
        EXPECT_EQ(client.charset(), "ascii") << name;
    }
}

TEST(SixbitlineOptions, LocationIsReducedToAscii) {
    Sixbitline accented(SixbitlineOptions{.host = "h", .location = "Café 台北"});
    EXPECT_EQ(accented.location(), "Caf? ??");
    Sixbitline emoji(SixbitlineOptions{.host = "h", .location = "a\xF0\x9F\x98\x80z"});
    EXPECT_EQ(emoji.location(), "a?z");
    Sixbitline broken(SixbitlineOptions{.host = "h", .location = "x\xC3(\x80y"});
    EXPECT_EQ(broken.location(), "x?(?y") << "stray bytes count one character each";
    Sixbitline empty(SixbitlineOptions{.host = "h", .location = ""});
    EXPECT_EQ(empty.location(), "");
}

TEST(SixbitlineOptions, ZeroByteCannotEndTheLocationEarly) {
    Sixbitline client(SixbitlineOptions{.host = "h", .location = std::string("ab\0cd", 5)});
    EXPECT_EQ(client.location(), "ab?cd");
}

TEST(SixbitlineOptions, UnusableTimeoutsFallBackToTheDefault) {
    for (double t : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        Sixbitline client(SixbitlineOptions{.host = "h", .timeout = t});
        EXPECT_DOUBLE_EQ(client.timeout(), 15.0) << t;
    }
    Sixbitline quick(SixbitlineOptions{.host = "h", .timeout = 2.5});
    EXPECT_DOUBLE_EQ(quick.timeout(), 2.5);
}

TEST(SixbitlineLifecycle, ResizeOnlyRecordsTheSize) {
    Sixbitline client(SixbitlineOptions{.host = "h"});
    client.resize(50, 132);
    EXPECT_EQ(client.term_height(), 50);
    EXPECT_EQ(client.term_width(), 132);
    EXPECT_FALSE(client.is_closed());
}

TEST(SixbitlineLifecycle, UnconnectedClientIsHarmless) {
    Sixbitline client(SixbitlineOptions{.host = "h"});
    client.send("typed");
    EXPECT_EQ(client.recv(4096), "");
    EXPECT_FALSE(client.is_closed());
}

TEST(SixbitlineLifecycle, CloseIsIdempotentAndFinal) {
    Sixbitline client(SixbitlineOptions{.host = "127.0.0.1"});
    client.close();
    client.close();
    EXPECT_TRUE(client.is_closed());
    client.send("x");
    EXPECT_EQ(client.recv(4096), "");
    EXPECT_THROW(client.connect(), SixbitlineError);
}

TEST(SixbitlineLifecycle, ConnectRefusesBadAddressesWithReadableText) {
    Sixbitline no_host(SixbitlineOptions{.host = ""});
    try {
        no_host.connect();
        FAIL() << "connect without a host succeeded";
    } catch (const SixbitlineError& e) {
        EXPECT_STREQ(e.what(), "No host given");
    }
    Sixbitline bad_port(SixbitlineOptions{.host = "127.0.0.1", .port = 70000});
    EXPECT_THROW(bad_port.connect(), SixbitlineError);
    EXPECT_FALSE(bad_port.is_closed());
}

}  // namespace
}  // namespace termiva
