// The transfer job as its owner sees it: two of our engines wired to each other, bad
// arguments, cancelling, time-outs, garbage from the peer, and the event contract.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "support/test_support.h"
#include "transfer/xyzmodem_transfer.h"
#include "unit/transfer_event_log.h"
#include "unit/transfer_test_helpers.h"

namespace termiva {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;
using termiva::testing::TempDir;
using termiva::testing::TransferEventLog;

using termiva::testing::fast_options;
using termiva::testing::random_content;
using termiva::testing::slurp;

// Collects what a job sends, for jobs without a peer.
struct Outbox {
    void add(std::string_view b) {
        std::lock_guard lock(mutex);
        bytes.append(b);
    }
    std::string get() {
        std::lock_guard lock(mutex);
        return bytes;
    }
    std::mutex mutex;
    std::string bytes;
};

// Two of our jobs talking to each other through memory.
struct EnginePair {
    EnginePair(const std::string& protocol, std::vector<std::string> files, fs::path dir) {
        sender = std::make_unique<XYZModemTransfer>(
            protocol, "send", [this](std::string_view b) { receiver->feed(b); }, send_log.sink(),
            std::move(files), std::nullopt, fast_options());
        receiver = std::make_unique<XYZModemTransfer>(
            protocol, "recv", [this](std::string_view b) { sender->feed(b); }, recv_log.sink(),
            std::nullopt, dir.string(), fast_options());
    }
    ~EnginePair() {
        // Each worker feeds the other: both must have sent their last byte (which comes
        // before their "done") before either goes away.
        sender->cancel();
        receiver->cancel();
        send_log.wait_done(seconds(10));
        recv_log.wait_done(seconds(10));
        sender.reset();
        receiver.reset();
    }
    void run() {
        receiver->start();
        sender->start();
        send_done = send_log.wait_done(seconds(30));
        recv_done = recv_log.wait_done(seconds(30));
    }
    TransferEventLog send_log;
    TransferEventLog recv_log;
    std::unique_ptr<XYZModemTransfer> sender;
    std::unique_ptr<XYZModemTransfer> receiver;
    std::optional<nlohmann::json> send_done;
    std::optional<nlohmann::json> recv_done;
};

class EngineToEngine : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        fs::create_directories(tmp.path() / "src");
        fs::create_directories(tmp.path() / "dst");
    }
    std::string source(const std::string& name, const std::string& content) {
        auto p = tmp.path() / "src" / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    TempDir tmp;
};

TEST_P(EngineToEngine, MovesFilesIntact) {
    const std::string protocol = GetParam();
    bool batch = protocol.starts_with("ymodem") || protocol == "zmodem";
    std::vector<std::pair<std::string, std::string>> files{
        {"every.bin", random_content(5000, 1) + std::string("\x18\x11\x13\x10\x1a\x04\x06", 7)}};
    if (batch) {
        files.push_back({"empty.bin", ""});
        files.push_back({"big.bin", random_content(200000, 2)});
    }
    std::vector<std::string> paths;
    for (const auto& [name, content] : files)
        paths.push_back(source(name, content));

    EnginePair pair(protocol, paths, tmp.path() / "dst");
    pair.run();
    ASSERT_TRUE(pair.send_done && pair.recv_done);
    EXPECT_TRUE(pair.send_done->at("ok").get<bool>()) << pair.send_done->dump();
    EXPECT_TRUE(pair.recv_done->at("ok").get<bool>()) << pair.recv_done->dump();
    if (batch) {
        for (const auto& [name, content] : files) {
            EXPECT_TRUE(slurp(tmp.path() / "dst" / name) == content) << name;
        }
        EXPECT_EQ(pair.recv_done->at("files").size(), files.size());
    } else {
        std::string got = slurp(tmp.path() / "dst" / "xmodem-received.bin");
        const std::string& sent = files[0].second;
        ASSERT_GE(got.size(), sent.size());
        EXPECT_TRUE(got.compare(0, sent.size(), sent) == 0);
        EXPECT_EQ(got.find_first_not_of('\x1a', sent.size()), std::string::npos);
    }
}

TEST_P(EngineToEngine, ReportsStartFileProgressAndOneDoneLast) {
    std::string content = random_content(3000, 3);
    EnginePair pair(GetParam(), {source("p.bin", content)}, tmp.path() / "dst");
    pair.run();
    ASSERT_TRUE(pair.send_done.has_value());
    for (auto* log : {&pair.send_log, &pair.recv_log}) {
        auto events = log->events();
        ASSERT_GE(events.size(), 4u);
        EXPECT_EQ(events.front().at("kind"), "start");
        EXPECT_EQ(events.front().at("protocol"), GetParam());
        EXPECT_EQ(events.back().at("kind"), "done");
        EXPECT_EQ(log->of_kind("done").size(), 1u);
        auto file_events = log->of_kind("file");
        ASSERT_EQ(file_events.size(), 1u);
        auto progress = log->of_kind("progress");
        ASSERT_FALSE(progress.empty());
        const auto& last = progress.back();
        EXPECT_GE(last.at("bytes").get<std::uint64_t>(), content.size());
        EXPECT_TRUE(last.contains("rate"));
        EXPECT_TRUE(last.contains("total"));
    }
    // The sender always knows the size; it reports it as the total.
    EXPECT_EQ(pair.send_log.of_kind("file")[0].at("size"), content.size());
    EXPECT_TRUE(pair.sender->is_done());
    EXPECT_TRUE(pair.receiver->is_done());
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, EngineToEngine,
                         ::testing::Values("xmodem", "xmodem-crc", "xmodem-1k", "ymodem",
                                           "ymodem-g", "zmodem"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (auto& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

struct RefusalCase {
    std::string protocol;
    std::string direction;
    std::optional<std::vector<std::string>> files;
    std::optional<std::string> save_dir;
    std::string reason;
};

TEST(TransferJobRefuses, BadArgumentsWithAReasonAndSendsNothing) {
    TempDir tmp;
    std::vector<RefusalCase> cases{
        {"zmodem", "upload", std::nullopt, tmp.path().string(), "direction must be send or recv"},
        {"ZMODEM", "recv", std::nullopt, tmp.path().string(), "Unknown protocol ZMODEM"},
        {"kermit", "send", std::vector<std::string>{"x"}, std::nullopt, "Unknown protocol kermit"},
        {"zmodem", "send", std::nullopt, std::nullopt, "send requires file paths"},
        {"ymodem", "send", std::vector<std::string>{}, std::nullopt, "send requires file paths"},
        {"xmodem", "send", std::vector<std::string>{"a", "b"}, std::nullopt,
         "xmodem sends a single file"},
        {"zmodem", "recv", std::nullopt, std::string(), "recv requires a folder"},
    };
    for (const auto& c : cases) {
        TransferEventLog log;
        Outbox out;
        XYZModemTransfer job(
            c.protocol, c.direction, [&](std::string_view b) { out.add(b); }, log.sink(), c.files,
            c.save_dir, fast_options());
        EXPECT_EQ(job.protocol(), c.protocol);
        EXPECT_EQ(job.direction(), c.direction);
        job.start();
        auto done = log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << c.reason;
        EXPECT_FALSE(done->at("ok").get<bool>());
        EXPECT_EQ(done->at("reason"), c.reason);
        EXPECT_TRUE(job.is_done());
        EXPECT_EQ(out.get(), "") << c.reason;
    }
}

TEST(TransferJobRefuses, AFileThatCannotBeOpened) {
    TempDir tmp;
    for (const char* protocol : {"zmodem", "ymodem", "xmodem-crc"}) {
        TransferEventLog log;
        Outbox out;
        XYZModemTransfer job(
            protocol, "send", [&](std::string_view b) { out.add(b); }, log.sink(),
            std::vector<std::string>{(tmp.path() / "missing.bin").string()}, std::nullopt,
            fast_options());
        job.start();
        // A YMODEM/XMODEM sender waits for the receiver first: answer it.
        job.feed("C");
        auto done = log.wait_done(seconds(10));
        ASSERT_TRUE(done.has_value()) << protocol;
        EXPECT_FALSE(done->at("ok").get<bool>());
        EXPECT_NE(done->at("reason").get<std::string>().find("missing.bin"), std::string::npos)
            << done->dump();
    }
}

TEST(TransferJobRefuses, AFileTooLargeForZmodemPositions) {
    TempDir tmp;
    auto big = tmp.path() / "big.bin";
    std::ofstream(big).close();
    std::error_code ec;
    fs::resize_file(big, (std::uintmax_t{1} << 32) + 1, ec);  // sparse: no disk used
    if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
    TransferEventLog log;
    Outbox out;
    XYZModemTransfer job(
        "zmodem", "send", [&](std::string_view b) { out.add(b); }, log.sink(),
        std::vector<std::string>{big.string()}, std::nullopt, fast_options());
    job.start();
    auto done = log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_FALSE(done->at("ok").get<bool>());
    EXPECT_NE(done->at("reason").get<std::string>().find("too large"), std::string::npos);
    EXPECT_EQ(out.get(), "");
}

TEST(TransferJobCancel, BeforeStartEndsAtOnceWithoutTouchingTheLink) {
    TempDir tmp;
    TransferEventLog log;
    Outbox out;
    XYZModemTransfer job(
        "zmodem", "recv", [&](std::string_view b) { out.add(b); }, log.sink(), std::nullopt,
        tmp.path().string(), fast_options());
    job.cancel();
    EXPECT_TRUE(job.is_done());
    auto done = log.wait_done(milliseconds(0));
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->at("reason"), "cancelled");
    job.start();
    job.cancel();
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(log.of_kind("done").size(), 1u);
    EXPECT_EQ(out.get(), "");
}

TEST(TransferJobCancel, WhileWaitingSendsTheAbortAndEndsOnce) {
    TempDir tmp;
    for (const char* protocol : {"zmodem", "ymodem", "xmodem"}) {
        TransferEventLog log;
        Outbox out;
        XYZModemTransfer job(
            protocol, "recv", [&](std::string_view b) { out.add(b); }, log.sink(), std::nullopt,
            tmp.path().string(), TransferOptions{});
        job.start();
        std::this_thread::sleep_for(milliseconds(50));
        EXPECT_FALSE(job.is_done());
        job.cancel();
        job.cancel();
        auto done = log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << protocol;
        EXPECT_EQ(done->at("reason"), "cancelled");
        EXPECT_FALSE(done->at("ok").get<bool>());
        std::string sent = out.get();
        EXPECT_NE(sent.find(std::string(8, '\x18')), std::string::npos) << protocol;
        EXPECT_TRUE(fs::is_empty(tmp.path()));
    }
}

TEST(TransferJobTimeouts, AReceiverWithoutSenderGivesUpWithinItsRetries) {
    TempDir tmp;
    for (const char* protocol : {"zmodem", "ymodem", "xmodem-1k", "ymodem-g"}) {
        TransferEventLog log;
        Outbox out;
        TransferOptions o = fast_options();
        o.timeout = milliseconds(100);
        o.retries = 2;
        XYZModemTransfer job(
            protocol, "recv", [&](std::string_view b) { out.add(b); }, log.sink(), std::nullopt,
            tmp.path().string(), o);
        job.start();
        auto done = log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << protocol;
        EXPECT_FALSE(done->at("ok").get<bool>());
        EXPECT_NE(done->at("reason").get<std::string>().find("timed out"), std::string::npos)
            << done->dump();
        EXPECT_FALSE(out.get().empty()) << "never asked the sender";
    }
}

TEST(TransferJobTimeouts, ASenderWithoutReceiverGivesUp) {
    TempDir tmp;
    auto file = tmp.path() / "f.bin";
    std::ofstream(file) << "data";
    for (const char* protocol : {"zmodem", "ymodem", "xmodem"}) {
        TransferEventLog log;
        TransferOptions o = fast_options();
        o.timeout = milliseconds(100);
        o.start_timeout = milliseconds(300);
        XYZModemTransfer job(
            protocol, "send", [](std::string_view) {}, log.sink(),
            std::vector<std::string>{file.string()}, std::nullopt, o);
        job.start();
        auto done = log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << protocol;
        EXPECT_FALSE(done->at("ok").get<bool>());
    }
}

TEST(TransferJobGarbage, RandomBytesFromThePeerEndTheJobCleanly) {
    TempDir tmp;
    for (const char* protocol : {"zmodem", "ymodem", "xmodem", "ymodem-g", "xmodem-1k"}) {
        for (unsigned seed = 0; seed < 4; ++seed) {
            TransferEventLog log;
            TransferOptions o = fast_options();
            o.timeout = milliseconds(100);
            o.char_timeout = milliseconds(20);
            o.retries = 2;
            XYZModemTransfer job(
                protocol, "recv", [](std::string_view) {}, log.sink(), std::nullopt,
                tmp.path().string(), o);
            job.start();
            std::string noise = random_content(20000, seed);
            if (seed % 2) {
                // Plausible starts of frames followed by rubbish.
                noise = std::string(
                            "*\x18"
                            "C\x04",
                            4) +
                        noise + "\x01\x01\xfe" + noise;
            }
            for (std::size_t i = 0; i < noise.size(); i += 512)
                job.feed(noise.substr(i, 512));
            auto done = log.wait_done(seconds(10));
            ASSERT_TRUE(done.has_value()) << protocol << " " << seed;
            // Frames with CRC-checked headers cannot be faked by noise. Plain XMODEM has
            // none: noise holding two EOTs reads as an empty file, which is legitimate.
            if (std::string(protocol) != "xmodem" && std::string(protocol) != "xmodem-1k") {
                EXPECT_FALSE(done->at("ok").get<bool>()) << protocol << " " << seed;
            }
        }
        // No temporary file is left behind, whatever the outcome.
        for (const auto& e : fs::directory_iterator(tmp.path())) {
            EXPECT_NE(e.path().filename().string().front(), '.') << "left behind: " << e.path();
        }
    }
}

TEST(TransferJobLifetime, CanBeDestroyedFromItsOwnDoneCallback) {
    TempDir tmp;
    std::atomic<bool> destroyed{false};
    TransferOptions o = fast_options();
    o.timeout = milliseconds(50);
    o.retries = 1;
    auto holder = std::make_shared<std::unique_ptr<XYZModemTransfer>>();
    *holder = std::make_unique<XYZModemTransfer>(
        "zmodem", "recv", [](std::string_view) {},
        [holder, &destroyed](const nlohmann::json& ev) {
            if (ev.at("kind") == "done") {
                holder->reset();
                destroyed = true;
            }
        },
        std::nullopt, tmp.path().string(), o);
    // The job ends by itself (nobody answers) and is dropped by its own callback.
    (*holder)->start();
    auto deadline = steady_clock::now() + seconds(5);
    while (!destroyed && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(destroyed);
    // Let the detached worker finish before the test's state goes.
    std::this_thread::sleep_for(milliseconds(50));
}

TEST(TransferJobLifetime, CancelRacingTheDoneCallbackThatDropsTheJob) {
    TempDir tmp;
    for (int round = 0; round < 20; ++round) {
        // The owner's slot, cleared from the "done" callback as the application does.
        std::mutex slot_mutex;
        std::shared_ptr<XYZModemTransfer> slot;
        std::atomic<bool> done_seen{false};
        XYZModemTransfer::OnEvent on_event = [&](const nlohmann::json& ev) {
            if (ev.at("kind") != "done") return;
            {
                std::lock_guard lock(slot_mutex);
                slot.reset();
            }
            done_seen = true;
        };
        {
            auto job = std::make_shared<XYZModemTransfer>(
                "ymodem", "recv", [](std::string_view) {}, on_event, std::nullopt,
                tmp.path().string(), fast_options());
            {
                std::lock_guard lock(slot_mutex);
                slot = job;
            }
            job->start();
            job.reset();
            // A bridge call: take a reference from the slot, cancel, let go.
            std::shared_ptr<XYZModemTransfer> held;
            {
                std::lock_guard lock(slot_mutex);
                held = slot;
            }
            if (held) held->cancel();
        }
        auto deadline = steady_clock::now() + seconds(5);
        while (!done_seen && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        EXPECT_TRUE(done_seen);
        std::this_thread::sleep_for(milliseconds(5));
    }
}

TEST(TransferJobLifetime, DestroyingARunningJobStopsIt) {
    TempDir tmp;
    TransferEventLog log;
    {
        XYZModemTransfer job(
            "ymodem", "recv", [](std::string_view) {}, log.sink(), std::nullopt,
            tmp.path().string(), TransferOptions{});
        job.start();
        std::this_thread::sleep_for(milliseconds(20));
    }
    auto done = log.wait_done(milliseconds(0));
    ASSERT_TRUE(done.has_value());
    EXPECT_FALSE(done->at("ok").get<bool>());
}

TEST(TransferJobLifetime, AThrowingCallbackDoesNotEscapeTheWorker) {
    TempDir tmp;
    std::atomic<int> events{0};
    XYZModemTransfer job(
        "zmodem", "recv", [](std::string_view) { throw std::runtime_error("link down"); },
        [&](const nlohmann::json&) {
            ++events;
            throw std::runtime_error("page gone");
        },
        std::nullopt, tmp.path().string(), fast_options());
    job.start();
    auto deadline = steady_clock::now() + seconds(5);
    while (!job.is_done() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_TRUE(job.is_done());
    EXPECT_GE(events.load(), 2);  // "start" and "done" were both offered
}

}  // namespace
}  // namespace termiva
