#include "transfer/failure_reasons.h"

#include <array>
#include <utility>
#include <vector>

namespace termiva::xfer {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 49> REASONS = {{
    {"cancelled", "cancelled"},
    {"direction", "direction must be send or recv"},
    {"unknown_proto", "Unknown protocol {proto}"},
    {"need_files", "send requires file paths"},
    {"need_folder", "recv requires a folder"},
    {"single_file", "{proto} sends a single file"},
    {"cannot_open", "cannot open {path}"},
    {"too_large", "{path} is too large for ZMODEM (4 GiB at most)"},
    {"cannot_size", "cannot read the size of {path}"},
    {"read_failed", "reading {name} failed"},
    {"cannot_create", "cannot create a file in {folder}: {err}"},
    {"write_failed", "writing {name} failed: {err}"},
    {"cannot_store", "cannot store {name}: {err}"},
    {"no_free_name", "no free name for {name}"},
    {"send_failed", "sending to the peer failed: {err}"},
    {"sender_timeout", "timed out waiting for the sender"},
    {"sender_cancelled", "cancelled by the sender"},
    {"receiver_cancelled", "cancelled by the receiver"},
    {"peer_cancelled", "cancelled by the peer"},
    {"damaged_streaming", "damaged block while streaming"},
    {"damaged_blocks", "too many damaged blocks"},
    {"damaged_headers", "too many damaged headers"},
    {"damaged_file_headers", "too many damaged file headers"},
    {"damaged_data", "too many damaged data packets"},
    {"expected_header_block", "expected a file header block"},
    {"ended_early", "the file ended early"},
    {"sender_ended_early", "the sender ended before the file was complete"},
    {"sequence_lost", "block sequence lost"},
    {"wrong_size", "the file {name} arrived with a wrong size"},
    {"false_start", "no ZMODEM sender followed the start header; what arrived is shown"},
    {"past_announced_size", "the sender went on past the announced size of {name}"},
    {"unannounced_too_long", "{name} came without a size and passed {limit}, the most taken then"},
    {"no_space", "not enough free space in {folder} for {name}"},
    {"receiver_silent", "the receiver did not ask for data"},
    {"receiver_stopped", "the receiver stopped acknowledging"},
    {"left_streaming", "the receiver left streaming mode"},
    {"end_unacknowledged", "the receiver did not acknowledge the end of the file"},
    {"receiver_write_failed", "the receiver could not write the file"},
    {"header_unanswered", "the receiver did not answer the file header"},
    {"header_refused", "the receiver did not take the file header"},
    {"repeats", "the receiver keeps asking to repeat data"},
    {"end_unconfirmed", "the receiver did not confirm the end of the file"},
    {"session_unclosed", "the receiver did not close the session"},
    {"peer_sending", "the peer is sending too"},
    {"no_receiver", "no ZMODEM receiver answered"},
    {"internal", "internal error"},
    {"remote_failed", "the server refused: {err}"},
    {"tree_too_large", "{path} holds more than {entries} entries or folders deeper than {depth}"},
    {"server_silent", "the server did not answer for {seconds} s"},
}};

}  // namespace

std::string reason_text(std::string_view code, const nlohmann::json& values) {
    std::string_view english = code;
    for (const auto& [c, text] : REASONS) {
        if (c == code) english = text;
    }
    std::string out;
    for (std::size_t i = 0; i < english.size();) {
        const std::size_t open = english.find('{', i);
        if (open == std::string_view::npos) {
            out.append(english.substr(i));
            break;
        }
        out.append(english.substr(i, open - i));
        const std::size_t close = english.find('}', open);
        if (close == std::string_view::npos) {
            out.append(english.substr(open));
            break;
        }
        const std::string name(english.substr(open + 1, close - open - 1));
        auto it = values.is_object() ? values.find(name) : values.end();
        if (values.is_object() && it != values.end() && it->is_string()) {
            out += it->get<std::string>();
        } else {
            out.append(english.substr(open, close - open + 1));
        }
        i = close + 1;
    }
    return out;
}

const std::vector<std::string_view>& reason_codes() {
    static const std::vector<std::string_view> codes = [] {
        std::vector<std::string_view> out;
        for (const auto& r : REASONS)
            out.push_back(r.first);
        return out;
    }();
    return codes;
}

}  // namespace termiva::xfer
