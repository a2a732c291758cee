// The ESP response matcher fed framed and unframed bytes: it answers with a value and a
// body, a protocol error or a time-out, never anything worse. The first byte picks the
// command waited for and whether the stub's two-byte status is expected; for SPI_FLASH_MD5
// the answer is also read as a read-back's hash.
#include "flashwright/errors.h"
#include "flashwright_job.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    auto job = termiva::fuzz::quiet_job();
    job->_is_stub = (data[0] & 0x80) != 0;
    const std::uint8_t op = data[0] & 0x7F;
    job->_feed_slip_chunk(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    if (op == flashwright::ESP_SPI_FLASH_MD5) {
        // The read-back's answer goes through its reader too (hex from the ROM, raw bytes
        // from the stub): a match, a mismatch or an unreadable answer, nothing worse.
        try {
            job->_verify_region("image.bin", 0x10000, "image");
        } catch (const flashwright::EspError&) {
        }
    }
    for (int answers = 0; answers < 64; ++answers) {
        try {
            auto [value, body] = job->_check_response(op, 0.001);
            (void)value;
            TERMIVA_FUZZ_CHECK(body.size() <= size);
        } catch (const flashwright::EspTimeoutError&) {
            break;  // nothing left that answers
        } catch (const flashwright::EspProtocolError&) {
            // a failure status from the chip: the next packet may answer again
        }
    }
    return 0;
}
