// The Telnet engine against a scripted server: negotiation without loops, refusals,
// subnegotiations split anywhere, data escaping, RFC 2217 answers, and random input.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "connect/telnet/telnet_engine.h"

namespace termiva::telnet {
namespace {

std::string cmd(unsigned char verb, unsigned char opt) {
    return {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(opt)};
}

std::string sb(unsigned char opt, const std::string& body) {
    std::string s = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(opt)};
    for (char c : body) {
        s.push_back(c);
        if (static_cast<unsigned char>(c) == IAC) s.push_back(c);
    }
    return s + std::string{static_cast<char>(IAC), static_cast<char>(SE)};
}

struct Out {
    std::string data, reply;
    std::vector<Event> events;
};

Out feed(Engine& e, const std::string& in) {
    Out o;
    e.receive(in, o.data, o.reply, o.events);
    return o;
}

Out feed_bytewise(Engine& e, const std::string& in) {
    Out o;
    for (char c : in)
        e.receive(std::string(1, c), o.data, o.reply, o.events);
    return o;
}

TEST(TelnetEngine, OffersItsOptionsAtOnceUnlessPassive) {
    Engine active(Options{});
    std::string offers;
    active.start(offers);
    for (unsigned char opt :
         {OPT_BINARY, OPT_SGA, OPT_TTYPE, OPT_TSPEED, OPT_NAWS, OPT_NEW_ENVIRON})
        EXPECT_NE(offers.find(cmd(WILL, opt)), std::string::npos) << int(opt);
    for (unsigned char opt : {OPT_BINARY, OPT_SGA, OPT_ECHO})
        EXPECT_NE(offers.find(cmd(DO, opt)), std::string::npos) << int(opt);
    EXPECT_EQ(offers.find(cmd(WILL, OPT_COM_PORT)), std::string::npos);

    Options o;
    o.passive = true;
    Engine passive(o);
    std::string none;
    passive.start(none);
    EXPECT_EQ(none, "");
    Out first = feed(passive, "login: " + cmd(DO, OPT_TTYPE));
    EXPECT_EQ(first.data, "login: ");
    // The server spoke first: our answer, then our own offers (TTYPE already settled).
    EXPECT_EQ(first.reply.substr(0, 3), cmd(WILL, OPT_TTYPE));
    EXPECT_NE(first.reply.find(cmd(WILL, OPT_NAWS)), std::string::npos);
    EXPECT_EQ(first.reply.find(cmd(WILL, OPT_TTYPE), 3), std::string::npos);
}

TEST(TelnetEngine, AgreementsAreNotAnsweredAgainSoNothingLoops) {
    Engine e(Options{});
    std::string offers;
    e.start(offers);
    // The server confirms what we asked and repeats itself: no reply at all.
    std::string confirm = cmd(DO, OPT_TTYPE) + cmd(WILL, OPT_ECHO) + cmd(DO, OPT_TTYPE) +
                          cmd(WILL, OPT_ECHO) + cmd(WILL, OPT_SGA);
    EXPECT_EQ(feed(e, confirm).reply, "");
    EXPECT_TRUE(e.local_enabled(OPT_TTYPE));
    EXPECT_TRUE(e.remote_enabled(OPT_ECHO));
    // Turning an option off is acknowledged once; repeating it is not.
    EXPECT_EQ(feed(e, cmd(WONT, OPT_ECHO)).reply, cmd(DONT, OPT_ECHO));
    EXPECT_EQ(feed(e, cmd(WONT, OPT_ECHO)).reply, "");
    EXPECT_FALSE(e.remote_enabled(OPT_ECHO));
}

TEST(TelnetEngine, DontAfterOurWillLeavesTheOptionOffUntilTheServerAsks) {
    Engine e(Options{});
    std::string offers;
    e.start(offers);
    EXPECT_EQ(feed(e, cmd(DONT, OPT_NAWS)).reply, "");
    EXPECT_FALSE(e.local_enabled(OPT_NAWS));
    std::string report;
    e.resize(40, 100, report);
    EXPECT_EQ(report, "") << "no size reports for a refused NAWS";
    // Asked later: agreed, and the current size goes out at once.
    EXPECT_EQ(feed(e, cmd(DO, OPT_NAWS)).reply,
              cmd(WILL, OPT_NAWS) + sb(OPT_NAWS, std::string("\0\x64\0\x28", 4)));
}

TEST(TelnetEngine, UnknownOptionsRepeatedGetNoSecondRefusal) {
    Options o;
    o.passive = true;
    o.rfc_environ = false;
    Engine e(o);
    Out first = feed(e, cmd(DO, 99));
    EXPECT_EQ(first.reply.substr(0, 3), cmd(WONT, 99));
    for (int i = 0; i < 3; ++i) {
        Out again = feed(e, cmd(DO, 99) + cmd(DO, OPT_NEW_ENVIRON) + cmd(WILL, OPT_TTYPE));
        std::string expected = i == 0 ? cmd(WONT, OPT_NEW_ENVIRON) + cmd(DONT, OPT_TTYPE) : "";
        EXPECT_EQ(again.reply, expected) << "round " << i;
    }
}

TEST(TelnetEngine, SubnegotiationsSplitAcrossReadsAreAnswered) {
    Options o;
    o.term_type = "xterm-256color";
    o.term_speed = "9600,9600";
    o.username = "ann";
    o.environment = {{"LANG", "zh_TW.Big5"}, {"ODD\x01NAME", "v\xff"}};
    Engine e(o);
    std::string offers;
    e.start(offers);
    feed(e, cmd(DO, OPT_TTYPE) + cmd(DO, OPT_TSPEED) + cmd(DO, OPT_NEW_ENVIRON));

    std::string send = std::string(1, 1);
    EXPECT_EQ(feed_bytewise(e, sb(OPT_TTYPE, send)).reply,
              sb(OPT_TTYPE, std::string(1, 0) + "xterm-256color"));
    // The server cycles through types: the same name again ends its list.
    EXPECT_EQ(feed(e, sb(OPT_TTYPE, send)).reply,
              sb(OPT_TTYPE, std::string(1, 0) + "xterm-256color"));
    EXPECT_EQ(feed_bytewise(e, sb(OPT_TSPEED, send)).reply,
              sb(OPT_TSPEED, std::string(1, 0) + "9600,9600"));

    // Everything, when nothing in particular is asked for; type bytes escaped.
    std::string all = feed_bytewise(e, sb(OPT_NEW_ENVIRON, send)).reply;
    std::string body = std::string(1, 0) + '\0' + "USER" + '\1' + "ann" + '\3' + "LANG" + '\1' +
                       "zh_TW.Big5" + '\3' + "ODD\x02\x01NAME" + '\1' + "v\xff";
    EXPECT_EQ(all, sb(OPT_NEW_ENVIRON, body));
    // Only what is asked for; a name we do not have is listed without a value.
    std::string ask = std::string(1, 1) + '\0' + "USER" + '\3' + "NOPE";
    EXPECT_EQ(
        feed(e, sb(OPT_NEW_ENVIRON, ask)).reply,
        sb(OPT_NEW_ENVIRON, std::string(1, 0) + '\0' + "USER" + '\1' + "ann" + '\3' + "NOPE"));
}

TEST(TelnetEngine, SizeReportsDoubleIacAndFollowEveryResize) {
    Engine e(Options{});
    std::string offers;
    e.start(offers);
    Out agreed = feed(e, cmd(DO, OPT_NAWS));
    EXPECT_EQ(agreed.reply, sb(OPT_NAWS, std::string("\0\x50\0\x18", 4)));
    std::string report;
    e.resize(255, 511, report);
    EXPECT_EQ(report, std::string("\xff\xfa\x1f\x01\xff\xff\x00\xff\xff\xff\xf0", 11));
}

TEST(TelnetEngine, DataIsUnescapedAndCrNulCollapsesOutsideBinaryMode) {
    Engine e(Options{});
    std::string offers;
    e.start(offers);
    EXPECT_EQ(feed_bytewise(e, std::string("a\xff\xff"
                                           "b\r\0c\r\nd\0e",
                                           12))
                  .data,
              std::string("a\xff"
                          "b\rc\r\nd\0e",
                          10));
    // A CR at the end of one read and its NUL at the start of the next.
    std::string first = feed(e, "x\r").data;
    EXPECT_EQ(first + feed(e, std::string("\0y", 2)).data, "x\ry");
    // Commands in the middle of data vanish from it; NOP and GA included.
    EXPECT_EQ(feed(e, "p\xff\xf1q\xff\xf9r" + cmd(WILL, OPT_ECHO) + "s").data, "pqrs");
    feed(e, cmd(WILL, OPT_BINARY));
    EXPECT_TRUE(e.remote_enabled(OPT_BINARY));
    EXPECT_EQ(feed(e, std::string("\r\0", 2)).data, std::string("\r\0", 2));
}

TEST(TelnetEngine, KeystrokesGetCrNulOrPlainCrInBinaryAndDoubledIac) {
    Engine e(Options{});
    std::string out;
    e.encode("ls\r", out);
    EXPECT_EQ(out, std::string("ls\r\0", 4));
    out.clear();
    e.encode("a\r\nb\xff", out);
    EXPECT_EQ(out, "a\r\nb\xff\xff");
    std::string offers;
    e.start(offers);
    out.clear();
    e.encode("ls\r", out);
    EXPECT_EQ(out, "ls\r") << "the server may take us as binary once it has our WILL";
    feed(e, cmd(DO, OPT_BINARY));
    ASSERT_TRUE(e.local_enabled(OPT_BINARY));
    out.clear();
    e.encode("ls\r\xff", out);
    EXPECT_EQ(out, "ls\r\xff\xff");
    feed(e, cmd(DONT, OPT_BINARY));
    out.clear();
    e.encode("ls\r", out);
    EXPECT_EQ(out, std::string("ls\r\0", 4));
}

TEST(TelnetEngine, SerialSettingsGoOutWhenAgreedAndChangedValuesAreReported) {
    Options o;
    o.com_port_control = true;
    o.com = {115200, 7, "E", "2", "X"};
    Engine e(o);
    std::string offers;
    e.start(offers);
    EXPECT_NE(offers.find(cmd(WILL, OPT_COM_PORT)), std::string::npos);
    Out agreed = feed(e, cmd(DO, OPT_COM_PORT));
    std::string expected = sb(OPT_COM_PORT, std::string("\x01\x00\x01\xc2\x00", 5)) +
                           sb(OPT_COM_PORT, "\x02\x07") + sb(OPT_COM_PORT, "\x03\x03") +
                           sb(OPT_COM_PORT, "\x04\x02") + sb(OPT_COM_PORT, "\x05\x02") +
                           sb(OPT_COM_PORT, "\x0c\x03");
    EXPECT_EQ(agreed.reply, expected);
    EXPECT_FALSE(e.com_settings_answered());

    // Acknowledgements, split and partly different; notifications in between are fine.
    std::string acks =
        sb(OPT_COM_PORT, std::string("\x65\x00\x00\xe1\x00", 5)) + sb(OPT_COM_PORT, "\x6a\x60") +
        sb(OPT_COM_PORT, "\x66\x07") + sb(OPT_COM_PORT, "\x67\x01") + sb(OPT_COM_PORT, "\x68\x02") +
        sb(OPT_COM_PORT, "\x6b\xb0") + sb(OPT_COM_PORT, "\x69\x02") + sb(OPT_COM_PORT, "\x70\x03");
    Out answered = feed_bytewise(e, acks);
    EXPECT_EQ(answered.reply, "");
    EXPECT_TRUE(e.com_settings_answered());
    ASSERT_EQ(answered.events.size(), 2u);
    EXPECT_EQ(answered.events[0].kind, Event::Kind::com_port_changed);
    EXPECT_EQ(answered.events[0].setting, "baud");
    EXPECT_EQ(answered.events[0].requested, "115200");
    EXPECT_EQ(answered.events[0].actual, "57600");
    EXPECT_EQ(answered.events[1].setting, "parity");
    EXPECT_EQ(answered.events[1].requested, "E");
    EXPECT_EQ(answered.events[1].actual, "N");
    // A later notice of the same kind is not a second answer.
    EXPECT_TRUE(feed(e, sb(OPT_COM_PORT, "\x66\x05")).events.empty());
    // The server may ask who we are.
    EXPECT_EQ(feed(e, sb(OPT_COM_PORT, "\x64")).reply,
              sb(OPT_COM_PORT, std::string("\0Termiva", 8)));
}

TEST(TelnetEngine, ARefusedSerialControlIsReportedOnce) {
    Options o;
    o.com_port_control = true;
    Engine e(o);
    std::string offers;
    e.start(offers);
    Out refused = feed(e, cmd(DONT, OPT_COM_PORT) + cmd(DONT, OPT_COM_PORT));
    ASSERT_EQ(refused.events.size(), 1u);
    EXPECT_EQ(refused.events[0].kind, Event::Kind::com_port_refused);
    EXPECT_EQ(refused.reply, "");
}

TEST(TelnetEngine, OverlongOrUnterminatedSubnegotiationsAreDropped) {
    Engine e(Options{});
    std::string offers;
    e.start(offers);
    feed(e, cmd(DO, OPT_TTYPE));
    std::string huge = sb(OPT_TTYPE, std::string(1, 1) + std::string(Engine::MAX_SB + 10, 'x'));
    Out o = feed(e, huge + "after");
    EXPECT_EQ(o.reply, "");
    EXPECT_EQ(o.data, "after");
    // IAC WILL inside an SB: the SB is abandoned and the command still counts.
    Out cut = feed(e, std::string("\xff\xfa\x18\x01\xff\xfb\x01tail", 11));
    EXPECT_EQ(cut.data, "tail");
    EXPECT_TRUE(e.remote_enabled(OPT_ECHO));
    EXPECT_FALSE(e.last_protocol_error().empty());
}

// Random server output: never a crash, data never grows, the same stream cut anywhere
// gives the same result, and no option we refuse is refused twice.
TEST(TelnetEngine, RandomServerStreamsAreHandledSafely) {
    std::mt19937 rng(20261207);
    const unsigned char interesting[] = {IAC, IAC, IAC, WILL, WONT, DO, DONT, SB, SE, 0,   '\r',
                                         1,   24,  31,  32,   39,   44, 0,    3,  99, 200, 101};
    for (int round = 0; round < 1500; ++round) {
        std::string stream;
        std::size_t length = rng() % 600;
        for (std::size_t i = 0; i < length; ++i) {
            stream.push_back(rng() % 3 == 0
                                 ? static_cast<char>(rng() % 256)
                                 : static_cast<char>(interesting[rng() % sizeof interesting]));
        }
        Options o;
        o.com_port_control = round % 2 == 0;
        o.passive = round % 3 == 0;
        Engine whole(o), pieces(o);
        std::string offers_a, offers_b;
        whole.start(offers_a);
        pieces.start(offers_b);
        Out a = feed(whole, stream);
        Out b;
        for (std::size_t i = 0; i < stream.size();) {
            std::size_t n = 1 + rng() % 17;
            pieces.receive(std::string_view(stream).substr(i, n), b.data, b.reply, b.events);
            i += n;
        }
        ASSERT_EQ(a.data, b.data) << "round " << round;
        ASSERT_EQ(a.reply, b.reply) << "round " << round;
        ASSERT_LE(a.data.size(), stream.size());

        // We agree only to what we support, and refuse anything else at most once a side.
        auto wanted_local = [&](int opt) {
            return opt == OPT_BINARY || opt == OPT_SGA || opt == OPT_TTYPE || opt == OPT_TSPEED ||
                   opt == OPT_NAWS || opt == OPT_NEW_ENVIRON ||
                   (opt == OPT_COM_PORT && o.com_port_control);
        };
        auto wanted_remote = [&](int opt) {
            return opt == OPT_BINARY || opt == OPT_SGA || opt == OPT_ECHO ||
                   (opt == OPT_COM_PORT && o.com_port_control);
        };
        std::string all = offers_a + a.reply;
        std::map<int, int> wont, dont;
        for (std::size_t i = 0; i < all.size();) {
            ASSERT_EQ(static_cast<unsigned char>(all[i]), IAC) << "round " << round;
            ASSERT_LT(i + 2, all.size());
            auto verb = static_cast<unsigned char>(all[i + 1]);
            int opt = static_cast<unsigned char>(all[i + 2]);
            i += 3;
            if (verb == SB) {  // to its IAC SE, past doubled IACs
                for (;; ++i) {
                    ASSERT_LT(i + 1, all.size()) << "round " << round;
                    if (static_cast<unsigned char>(all[i]) != IAC) continue;
                    if (static_cast<unsigned char>(all[++i]) == SE) break;
                }
                ++i;
                continue;
            }
            if (verb == WILL) {
                ASSERT_TRUE(wanted_local(opt)) << "round " << round << " " << opt;
            }
            if (verb == DO) {
                ASSERT_TRUE(wanted_remote(opt)) << "round " << round << " " << opt;
            }
            if (verb == WONT && !wanted_local(opt)) {
                ASSERT_LE(++wont[opt], 1) << "round " << round;
            }
            if (verb == DONT && !wanted_remote(opt)) {
                ASSERT_LE(++dont[opt], 1) << "round " << round;
            }
            ASSERT_TRUE(verb == WILL || verb == WONT || verb == DO || verb == DONT) << int(verb);
        }
    }
}

}  // namespace
}  // namespace termiva::telnet
