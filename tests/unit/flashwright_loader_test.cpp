// Stub upload and SPI attach at the command level, with answers fed in by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diagnostics.h"
#include "flashwright_job_harness.h"
#include "support/test_support.h"

namespace flashwright::testing {
namespace {

const std::string ROM_OK = bytes({0, 0, 0, 0});

std::uint32_t le32_at(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
    return v;
}

// Decodes one frame the job sent (no escapes expected in these small commands' headers).
std::string unframe(const std::string& wire) {
    std::string out;
    for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
        if (wire[i] == '\xDB') {
            out += wire[++i] == '\xDC' ? '\xC0' : '\xDB';
        } else {
            out += wire[i];
        }
    }
    return out;
}

TEST(SpiAttach, RomGetsTwoZeroWordsAndTheStubNothing) {
    JobHarness h;
    h.job().feed(JobHarness::response(0x0D, 0, ROM_OK));
    h.job()._spi_attach();
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(unframe(h.sent()[0]), bytes({0, 0x0D, 8, 0, 0, 0, 0, 0}) + std::string(8, '\0'));
    h.job()._is_stub = true;
    h.job()._spi_attach();
    EXPECT_EQ(h.sent().size(), 1u);
}

TEST(DetectChip, SilentRegisterReadFailsDetectionWithTheFailureText) {
    JobHarness h;
    EXPECT_FALSE(h.job()._detect_chip());
    ASSERT_FALSE(h.events().empty());
    EXPECT_EQ(h.events().back()["text"],
              "Reading the chip magic failed: No answer from the board (timed out)");
    EXPECT_EQ(h.events().back()["level"], "error");
    EXPECT_FALSE(h.job()._chip.has_value());
}

TEST(DetectChip, ReadsTheMagicRegisterAtItsAddress) {
    JobHarness h;
    h.job().feed(JobHarness::response(0x0A, 0x000007C6, ROM_OK));
    EXPECT_TRUE(h.job()._detect_chip());
    EXPECT_EQ(h.job()._chip, "esp32s2");
    EXPECT_EQ(h.job()._chip_info->name, "ESP32-S2");
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(unframe(h.sent()[0]), bytes({0, 0x0A, 4, 0, 0, 0, 0, 0, 0x00, 0x10, 0x00, 0x40}));
    EXPECT_EQ(h.events().back()["text"], "Detected ESP32-S2 (magic=0x000007C6)");
}

TEST(StubUpload, GreetingWithTrailingBytesIsAcceptedAfterSkippingOtherPackets) {
    ::termiva::testing::TempDir tmp;
    // 7002 bytes of text: two RAM blocks, the second one short and unpadded.
    std::ofstream(tmp.path() / "esp32.json") << nlohmann::json{
        {"text", std::string(9336, 'V')},
        {"text_start", 1074266112},
        {"entry", 1074266116}}.dump();
    std::vector<std::string> diag_lines;
    detail::set_diag_sink([&](const std::string& l) { diag_lines.push_back(l); });
    JobHarness h({}, Mode::Flash, tmp.path());
    h.job()._chip = "esp32";
    h.job().feed(JobHarness::response(0x05, 0, ROM_OK) + JobHarness::response(0x07, 0, ROM_OK) +
                 JobHarness::response(0x07, 0, ROM_OK) + JobHarness::response(0x06, 0, ROM_OK) +
                 frame("OHAI and more"));
    EXPECT_TRUE(h.job()._try_load_stub());
    detail::set_diag_sink(nullptr);
    EXPECT_TRUE(h.job()._is_stub);
    EXPECT_EQ(h.job()._block_size, 0x4000u);

    const auto sent = h.sent();
    ASSERT_EQ(sent.size(), 4u);  // MEM_BEGIN, two MEM_DATA, MEM_END
    const std::string begin = unframe(sent[0]);
    EXPECT_EQ(begin[1], 0x05);
    EXPECT_EQ(le32_at(begin, 8), 7002u);   // "VVVV" base64 → 3 bytes each: 9336/4*3
    EXPECT_EQ(le32_at(begin, 12), 2u);     // blocks
    EXPECT_EQ(le32_at(begin, 16), 6144u);  // block size
    EXPECT_EQ(le32_at(begin, 20), 1074266112u);
    const std::string second = unframe(sent[2]);
    EXPECT_EQ(le32_at(second, 8), 7002u - 6144u);  // unpadded last block
    EXPECT_EQ(le32_at(second, 12), 1u);            // seq
    const std::string end = unframe(sent[3]);
    EXPECT_EQ(end[1], 0x06);
    EXPECT_EQ(le32_at(end, 8), 0u);
    EXPECT_EQ(le32_at(end, 12), 1074266116u);
    bool skipped = false;
    for (const auto& l : diag_lines) {
        skipped |= l ==
                   "[esp][stub] skip non-OHAI pkt while waiting OHAI: "
                   "b'\\x01\\x06\\x04\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00'";
    }
    EXPECT_TRUE(skipped);
}

TEST(StubUpload, NoGreetingMeansRomOnly) {
    ::termiva::testing::TempDir tmp;
    std::ofstream(tmp.path() / "esp32.json")
        << nlohmann::json{{"text", "AAAA"}, {"text_start", 0}, {"entry", 0}}.dump();
    JobHarness h({}, Mode::Flash, tmp.path());
    h.job()._chip = "esp32";
    h.job().feed(JobHarness::response(0x05, 0, ROM_OK) + JobHarness::response(0x07, 0, ROM_OK));
    EXPECT_FALSE(h.job()._try_load_stub());
    EXPECT_FALSE(h.job()._is_stub);
    EXPECT_EQ(h.job()._block_size, 1024u);
    bool warned = false;
    for (const auto& e : h.events())
        warned |= e["text"] == "The stub loader did not answer in time" && e["level"] == "warn";
    EXPECT_TRUE(warned);
}

TEST(StubUpload, RefusedUploadFallsBackWithTheFailureText) {
    ::termiva::testing::TempDir tmp;
    std::ofstream(tmp.path() / "esp32.json")
        << nlohmann::json{{"text", "AAAA"}, {"text_start", 0}, {"entry", 0}}.dump();
    JobHarness h({}, Mode::Flash, tmp.path());
    h.job()._chip = "esp32";
    h.job().feed(JobHarness::response(0x05, 0, bytes({1, 5, 0, 0})));
    EXPECT_FALSE(h.job()._try_load_stub());
    bool warned = false;
    for (const auto& e : h.events()) {
        warned |= e["text"] ==
                  "Uploading the stub loader failed: Protocol error: op 0x05 answered status=0x01 "
                  "err=0x05; writing through the ROM loader";
    }
    EXPECT_TRUE(warned);
}

TEST(StubUpload, BadBase64IsAParseFailure) {
    ::termiva::testing::TempDir tmp;
    std::ofstream(tmp.path() / "esp32.json")
        << nlohmann::json{{"text", "A*=="}, {"text_start", 0}, {"entry", 0}}.dump();
    JobHarness h({}, Mode::Flash, tmp.path());
    h.job()._chip = "esp32";
    EXPECT_FALSE(h.job()._try_load_stub());
    EXPECT_TRUE(h.sent().empty());
    ASSERT_FALSE(h.events().empty());
    const std::string text = h.events().back()["text"];
    EXPECT_EQ(text.rfind("The stub loader file cannot be used: ", 0), 0u);
}

}  // namespace
}  // namespace flashwright::testing
