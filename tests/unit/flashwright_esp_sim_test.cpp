// The simulated board itself, driven by hand-made frames: it must behave like the ROM loader
// the library is written against, or the library's tests prove nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "esp_sim.h"
#include "esp_sim_stub.h"

namespace esp_sim {
namespace {

std::string le32(std::uint32_t v) {
    std::string out;
    for (int s = 0; s < 32; s += 8)
        out += static_cast<char>((v >> s) & 0xFF);
    return out;
}

std::string command(std::uint8_t op, const std::string& data, std::uint32_t checksum = 0) {
    std::string pkt{'\0', static_cast<char>(op), static_cast<char>(data.size() & 0xFF),
                    static_cast<char>(data.size() >> 8)};
    return slip_frame(pkt + le32(checksum) + data);
}

std::string sync_body() {
    std::string body = "\x07\x07\x12\x20";
    body.append(32, '\x55');
    return body;
}

std::uint8_t checksum(const std::string& d) {
    std::uint8_t s = 0xEF;
    for (char c : d)
        s ^= static_cast<std::uint8_t>(c);
    return s;
}

// The host end of the line: collects raw bytes and decoded frames.
class Host {
public:
    explicit Host(EspSimulator& sim) : m_sim(sim) {
        sim.set_output([this](const std::string& b) {
            std::lock_guard lock(m_mutex);
            raw += b;
            for (auto& f : m_reader.push(b))
                frames.push_back(f.payload);
            m_cv.notify_all();
        });
    }
    ~Host() { m_sim.set_output(nullptr); }
    // Waits until at least n frames arrived (bounded).
    std::vector<std::string> wait_frames(std::size_t n, int ms = 2000) {
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return frames.size() >= n; });
        return frames;
    }
    std::string raw_bytes() {
        std::lock_guard lock(m_mutex);
        return raw;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        frames.clear();
        raw.clear();
    }
    // Sends one command and returns its single answer.
    std::string ask(const std::string& wire) {
        clear();
        m_sim.write(wire);
        auto f = wait_frames(1);
        return f.empty() ? std::string() : f.front();
    }

private:
    EspSimulator& m_sim;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    SlipReader m_reader;
    std::string raw;
    std::vector<std::string> frames;
};

void quiet_period() {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
}

TEST(EspSim, IgnoresEverythingUntilResetIntoDownloadMode) {
    SimConfig config;
    config.boot_noise = false;
    EspSimulator sim(config);
    Host host(sim);
    sim.write(command(0x08, sync_body()));
    quiet_period();
    EXPECT_TRUE(host.raw_bytes().empty());
    sim.hard_reset();  // boots the application: still deaf to the loader
    sim.write(command(0x08, sync_body()));
    quiet_period();
    EXPECT_TRUE(host.wait_frames(1, 50).empty());
    EXPECT_NE(host.raw_bytes().find("SPI_FAST_FLASH_BOOT"), std::string::npos);
    EXPECT_EQ(sim.app_boots(), 1);
}

TEST(EspSim, DownloadResetPrintsTheBannerThenAnswersOnlyACorrectSync) {
    SimConfig config;
    config.sync_extra_replies = 3;
    config.boot_noise = false;
    EspSimulator sim(config);
    Host host(sim);
    sim.classic_download_reset();
    EXPECT_NE(host.raw_bytes().find("waiting for download"), std::string::npos);
    EXPECT_TRUE(sim.in_download_mode());
    host.clear();
    sim.write(command(0x0A, le32(0x40001000)));         // before sync: ignored
    sim.write(command(0x08, std::string(36, '\x55')));  // wrong sync body: ignored
    quiet_period();
    EXPECT_TRUE(host.raw_bytes().empty());
    sim.write(command(0x08, sync_body()));
    const auto frames = host.wait_frames(4);
    ASSERT_EQ(frames.size(), 4u);  // one answer plus the extra ones
    EXPECT_EQ(frames[0],
              std::string("\x01\x08\x04\x00", 4) + le32(0x20120707) + std::string(4, '\0'));
}

class SyncedRom : public ::testing::Test {
protected:
    SyncedRom() : sim(make_config()), host(sim) {
        sim.classic_download_reset();
        sim.write(command(0x08, sync_body()));
        host.wait_frames(1);
        quiet_period();
    }
    static SimConfig make_config() {
        SimConfig c;
        c.boot_noise = false;
        c.sync_extra_replies = 0;
        c.flash_size = 1 << 20;
        return c;
    }
    EspSimulator sim;
    Host host;
};

TEST_F(SyncedRom, ReadsTheMagicRegisterWithAFourByteStatus) {
    const auto answer = host.ask(command(0x0A, le32(0x40001000)));
    EXPECT_EQ(answer, std::string("\x01\x0A\x04\x00", 4) + le32(0x00F01D83) + std::string(4, '\0'));
}

TEST_F(SyncedRom, RefusesUnknownCommandsAndBadLengths) {
    EXPECT_EQ(host.ask(command(0x55, "")).substr(8), std::string("\x01\x05\x00\x00", 4));
    std::string bad = command(0x0A, le32(0x40001000));
    bad[3] = 9;  // length field no longer matches the data
    EXPECT_EQ(host.ask(bad).substr(8), std::string("\x01\x05\x00\x00", 4));
}

std::string set_params(std::uint32_t size) {
    return le32(0) + le32(size) + le32(0x10000) + le32(4096) + le32(256) + le32(0xFFFF);
}

TEST_F(SyncedRom, FlashWriteNeedsAttachAndParamsAndChecksBlocksAndChecksums) {
    const std::string block(1024, '\x12');
    const std::string begin = le32(4096) + le32(1) + le32(1024) + le32(0x8000);
    EXPECT_EQ(host.ask(command(0x02, begin)).substr(8, 2), std::string("\x01\x06", 2));
    EXPECT_EQ(host.ask(command(0x0D, std::string(8, '\0'))).substr(8, 1), std::string(1, '\0'));
    // Attached, but the ROM does not know the flash size yet.
    EXPECT_EQ(host.ask(command(0x02, begin)).substr(8, 2), std::string("\x01\x06", 2));
    EXPECT_EQ(host.ask(command(0x0B, set_params(1 << 20))).substr(8, 1), std::string(1, '\0'));
    EXPECT_EQ(host.ask(command(0x02, begin)).substr(8, 1), std::string(1, '\0'));
    const std::string header = le32(1024) + le32(0) + le32(0) + le32(0);
    // Wrong checksum: the ROM's CRC error.
    EXPECT_EQ(host.ask(command(0x03, header + block, checksum(block) ^ 1)).substr(8, 2),
              std::string("\x01\x07", 2));
    // A short block is refused: the ROM programs whole blocks only.
    const std::string short_block(100, '\x12');
    EXPECT_EQ(host.ask(command(0x03, le32(100) + le32(0) + le32(0) + le32(0) + short_block,
                               checksum(short_block)))
                  .substr(8, 2),
              std::string("\x01\x05", 2));
    EXPECT_EQ(host.ask(command(0x03, header + block, checksum(block))).substr(8, 1),
              std::string(1, '\0'));
    const auto flash = sim.flash();
    EXPECT_EQ(std::string(flash.begin() + 0x8000, flash.begin() + 0x8400), block);
    EXPECT_EQ(flash[0x8400], 0xFF);  // rest of the erased sector
}

TEST_F(SyncedRom, InflatesHashesInHexAndKnowsNoEraseFlash) {
    host.ask(command(0x0D, std::string(8, '\0')));
    host.ask(command(0x0B, set_params(1 << 20)));
    // The ROM erases the whole sectors it is told, then inflates what follows.
    EXPECT_EQ(host.ask(command(0x10, le32(4096) + le32(1) + le32(1024) + le32(0x3000))).substr(8),
              std::string(4, '\0'));
    const std::string packed("\x78\x9c\xcb\x48\xcd\xc9\xc9\x07\x00\x06\x2c\x02\x15",
                             13);  // "hello"
    EXPECT_EQ(host.ask(command(0x11, le32(packed.size()) + le32(0) + le32(0) + le32(0) + packed,
                               checksum(packed)))
                  .substr(8),
              std::string(4, '\0'));
    const auto flash = sim.flash();
    EXPECT_EQ(std::string(flash.begin() + 0x3000, flash.begin() + 0x3005), "hello");
    // MD5 of "hello" as 32 hex characters before the 4 status bytes.
    EXPECT_EQ(host.ask(command(0x13, le32(0x3000) + le32(5) + le32(0) + le32(0))).substr(8),
              "5d41402abc4b2a76b9719d911017c592" + std::string(4, '\0'));
    EXPECT_EQ(host.ask(command(0xD0, "")).substr(8, 2), std::string("\x01\x05", 2));
}

TEST_F(SyncedRom, StartsTheSyntheticStubWhichAnswersWithTwoStatusBytes) {
    const auto stub = make_synthetic_stub(3, false);
    const std::size_t bs = 6144;
    const std::size_t blocks = (stub.text.size() + bs - 1) / bs;
    host.ask(
        command(0x05, le32(stub.text.size()) + le32(blocks) + le32(bs) + le32(stub.text_start)));
    for (std::size_t seq = 0; seq < blocks; ++seq) {
        const std::string chunk = stub.text.substr(seq * bs, bs);
        const auto answer = host.ask(command(
            0x07, le32(chunk.size()) + le32(seq) + le32(0) + le32(0) + chunk, checksum(chunk)));
        ASSERT_EQ(answer.substr(8, 1), std::string(1, '\0'));
    }
    host.clear();
    sim.write(command(0x06, le32(0) + le32(stub.entry)));
    const auto frames = host.wait_frames(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], "OHAI");
    EXPECT_TRUE(sim.stub_running());
    EXPECT_EQ(host.ask(command(0x0A, le32(0x40001000))).substr(8), std::string(2, '\0'));
    // Compressed write through the stub, sector-wise erase included.
    EXPECT_EQ(host.ask(command(0x10, le32(5) + le32(1) + le32(0x4000) + le32(0x1000))).substr(8),
              std::string(2, '\0'));
    const std::string packed("\x78\x9c\xcb\x48\xcd\xc9\xc9\x07\x00\x06\x2c\x02\x15",
                             13);  // "hello"
    EXPECT_EQ(host.ask(command(0x11, le32(packed.size()) + le32(0) + le32(0) + le32(0) + packed,
                               checksum(packed)))
                  .substr(8),
              std::string(2, '\0'));
    EXPECT_EQ(host.ask(command(0x12, le32(1))).substr(8), std::string(2, '\0'));
    const auto flash = sim.flash();
    EXPECT_EQ(std::string(flash.begin() + 0x1000, flash.begin() + 0x1005), "hello");
    EXPECT_EQ(flash[0x1005], 0xFF);
}

TEST(EspSimFlash, ProgrammingWithoutEraseOnlyClearsBits) {
    FlashModel flash(8192, 1);
    flash.erase(0, 4096);
    flash.program(0, "\xF0");
    flash.program(0, "\x3C");
    EXPECT_EQ(flash.bytes()[0], 0x30);
    EXPECT_FALSE(flash.program(8190, "abc"));
    EXPECT_FALSE(flash.erase(4096, 8192));
}

}  // namespace
}  // namespace esp_sim
