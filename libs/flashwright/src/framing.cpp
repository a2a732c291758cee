// SLIP framing, command packets and response matching.
#include <algorithm>
#include <chrono>

#include "byte_order.h"
#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright::detail {

double FlasherJob::now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string FlasherJob::_slip_encode(std::string_view data) {
    std::string out;
    out.reserve(data.size() + data.size() / 64 + 2);
    out += static_cast<char>(SLIP_END);
    for (unsigned char c : data) {
        if (c == SLIP_END) {
            out += static_cast<char>(SLIP_ESC);
            out += static_cast<char>(SLIP_ESC_END);
        } else if (c == SLIP_ESC) {
            out += static_cast<char>(SLIP_ESC);
            out += static_cast<char>(SLIP_ESC_ESC);
        } else {
            out += static_cast<char>(c);
        }
    }
    out += static_cast<char>(SLIP_END);
    return out;
}

void FlasherJob::_feed_slip_chunk(std::string_view chunk) {
    for (unsigned char c : chunk) {
        if (!_slip_in_packet) {
            if (c == SLIP_END) {
                _slip_in_packet = true;
                _slip_buf.clear();
                _slip_escape = false;
            }
            continue;
        }
        if (_slip_escape) {
            if (c == SLIP_ESC_END) {
                _slip_buf += static_cast<char>(SLIP_END);
            } else if (c == SLIP_ESC_ESC) {
                _slip_buf += static_cast<char>(SLIP_ESC);
            } else {
                _slip_buf += static_cast<char>(c);
            }
            _slip_escape = false;
        } else if (c == SLIP_ESC) {
            _slip_escape = true;
        } else if (c == SLIP_END) {
            if (_slip_buf.empty()) {
                // Every frame is opened and closed by END, so END END is the boundary between
                // two frames. Closing here instead would shift the decoder's idea of where
                // frames start by one delimiter after a single stray END (line noise at
                // reset), and from then on it would drop the contents of every frame.
                continue;
            }
            _packet_q.push_back(std::move(_slip_buf));
            _slip_buf.clear();
            _slip_in_packet = false;
            _slip_escape = false;
        } else {
            _slip_buf += static_cast<char>(c);
        }
    }
}

void FlasherJob::_drain_input_to_slip(double deadline) {
    while (now() < deadline) {
        throw_if_cancelled();
        const double wait = std::min(timing.drain_idle, deadline - now());
        auto chunk = _in_q.pop(wait);
        if (!chunk) return;
        if (!chunk->empty()) _feed_slip_chunk(*chunk);
        if (!_packet_q.empty()) return;
    }
}

std::string FlasherJob::_read_packet(double timeout) {
    const double deadline = now() + timeout;
    for (;;) {
        if (!_packet_q.empty()) {
            std::string packet = std::move(_packet_q.front());
            _packet_q.pop_front();
            return packet;
        }
        if (now() >= deadline) throw EspTimeoutError({"timeout_silent", {}});
        _drain_input_to_slip(deadline);
    }
}

void FlasherJob::_flush_residual(std::optional<double> drain_for) {
    const double end = now() + drain_for.value_or(timing.flush_default);
    while (now() < end) {
        // Swallowing input is a wait like any other: a cancel must not sit it out.
        throw_if_cancelled();
        auto chunk = _in_q.pop(std::min(timing.flush_poll, end - now()));
        if (chunk && !chunk->empty()) _feed_slip_chunk(*chunk);
    }
    _packet_q.clear();
}

std::uint8_t FlasherJob::_checksum(std::string_view data) {
    std::uint8_t sum = ESP_CHECKSUM_MAGIC;
    for (unsigned char c : data)
        sum ^= c;
    return sum;
}

void FlasherJob::_send_command(std::uint8_t op, std::string_view data, std::uint32_t checksum) {
    if (data.size() > 0xFFFF) throw EspProtocolError({"too_large", {{"what", "command data"}}});
    std::string packet;
    packet.reserve(8 + data.size());
    packet += '\0';
    packet += static_cast<char>(op);
    put_u16(packet, static_cast<std::uint16_t>(data.size()));
    put_u32(packet, checksum);
    packet.append(data);
    send_bytes(_slip_encode(packet));
}

std::pair<std::uint32_t, std::string> FlasherJob::_check_response(std::uint8_t op,
                                                                  std::optional<double> timeout) {
    const double deadline = now() + timeout.value_or(timing.cmd_timeout);
    int unmatched = 0;
    const bool quiet = _suppress_resp_log;
    for (;;) {
        const double remain = deadline - now();
        if (remain <= 0) {
            if (!quiet) {
                diag("[esp][resp] timeout waiting op=0x" + hex2(op) +
                     " (unmatched_pkts=" + std::to_string(unmatched) + ")");
            }
            throw EspTimeoutError({"timeout_op", {{"op", hex2(op)}}});
        }
        const std::string pkt = _read_packet(remain);
        if (pkt.size() < 8) {
            ++unmatched;
            if (!quiet) {
                diag("[esp][resp] short pkt (" + std::to_string(pkt.size()) +
                     " bytes) while waiting op=0x" + hex2(op) + ": " + render_bytes(pkt));
            }
            continue;
        }
        const auto dir = static_cast<std::uint8_t>(pkt[0]);
        const auto pkt_op = static_cast<std::uint8_t>(pkt[1]);
        if (dir != 0x01 || pkt_op != op) {
            ++unmatched;
            if (!quiet) {
                diag("[esp][resp] unexpected pkt dir=0x" + hex2(dir) + " op=0x" + hex2(pkt_op) +
                     " (waiting 0x" + hex2(op) + ")");
            }
            continue;
        }
        const std::size_t length = get_u16(pkt, 2);
        const std::uint32_t value = get_u32(pkt, 4);
        std::string body = pkt.substr(8, length);
        const std::size_t status_len = _is_stub ? 2 : 4;
        if (body.size() >= status_len) {
            const auto status = static_cast<std::uint8_t>(body[body.size() - status_len]);
            const auto err = static_cast<std::uint8_t>(body[body.size() - status_len + 1]);
            if (status != 0) {
                if (!quiet) {
                    diag("[esp][resp] op=0x" + hex2(op) + " FAIL status=0x" + hex2(status) +
                         " err=0x" + hex2(err) + " value=0x" + hex8(value));
                }
                throw EspProtocolError(
                    {"status_error",
                     {{"op", hex2(op)}, {"status", hex2(status)}, {"err", hex2(err)}}});
            }
            body.resize(body.size() - status_len);
        }
        if (!quiet) {
            diag("[esp][resp] op=0x" + hex2(op) + " OK value=0x" + hex8(value) +
                 " body_len=" + std::to_string(body.size()));
        }
        return {value, body};
    }
}

std::pair<std::uint32_t, std::string> FlasherJob::_command(std::uint8_t op, std::string_view data,
                                                           std::uint32_t checksum,
                                                           std::optional<double> timeout) {
    _send_command(op, data, checksum);
    return _check_response(op, timeout);
}

}  // namespace flashwright::detail
