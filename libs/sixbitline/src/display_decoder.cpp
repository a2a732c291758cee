#include "sixbitline/display_decoder.h"

#include <utility>

namespace termiva {

namespace {

constexpr char ESC = '\x1b';
constexpr std::size_t MAX_TD_ARGS = 4;
constexpr unsigned char SEVEN_BIT_MASK = 0177;
constexpr unsigned char FIRST_PRINTABLE = 040;
constexpr unsigned char LAST_PRINTABLE = 0176;

// Output-reset acknowledgement: escape, %TDORS reply code, cursor row 0, column 0.
constexpr std::string_view OUTPUT_RESET_ACK{"\034\020\0\0", 4};
// Announces that the location text follows.
constexpr std::string_view LOCATION_MARKER{"\300\302", 2};

// Bytes a server may put on the screen as they are (its greeting, a quoted character):
// printable ASCII and the controls that only move the cursor or ring. ESC, the C1 controls
// and bytes that are not UTF-8 on their own would let a server drive the terminal (set its
// title, its clipboard, answerback queries) or garble what follows.
bool plain_text_byte(unsigned char c) {
    return (c >= FIRST_PRINTABLE && c <= LAST_PRINTABLE) || c == '\r' || c == '\n' || c == '\t' ||
           c == '\b' || c == '\a';
}

void append_csi(std::string& out, std::string_view params, char final_byte) {
    out += ESC;
    out += '[';
    out += params;
    out += final_byte;
}

int arg(const std::string& args, std::size_t i) {
    return i < args.size() ? static_cast<unsigned char>(args[i]) : 0;
}

// Cursor address, counted from 1 as ANSI terminals do.
void append_move(std::string& out, int row, int column) {
    append_csi(out, std::to_string(row + 1) + ";" + std::to_string(column + 1), 'H');
}

}  // namespace

SupdupDisplayDecoder::SupdupDisplayDecoder(std::string_view charset, std::string location)
    : m_charset(charset == CHARSET_ITS     ? Charset::Its
                : charset == CHARSET_WAITS ? Charset::Waits
                                           : Charset::Ascii),
      m_location(std::move(location)) {}

DecodedChunk SupdupDisplayDecoder::feed(std::string_view bytes) {
    DecodedChunk chunk;
    m_pending.clear();
    for (char byte : bytes) {
        _process_byte(chunk.output, static_cast<unsigned char>(byte));
    }
    chunk.replies = std::move(m_pending);
    m_pending.clear();
    return chunk;
}

void SupdupDisplayDecoder::_process_byte(std::string& out, unsigned char c) {
    if (m_st._state == CONNECTING) {
        // The greeting is plain text; TDNOP ends it and nothing of TDNOP is shown.
        if (c == TDNOP) {
            m_st._state = CONNECTED;
            m_st._tdstate = TD_TOPLEVEL;
        } else if (plain_text_byte(c)) {
            out += static_cast<char>(c);
        }
        return;
    }
    if (m_st._tdstate == TD_TOPLEVEL) {
        _do_toplevel(out, c);
    } else if (m_st._tdstate == TD_ARGS) {
        _do_args(out, c);
    }
    if (m_st._tdstate == TD_ARGSDONE) {
        _do_argsdone(out);
    }
    // Some servers drop the location if it arrives before they have started talking,
    // so it waits for the first byte after the greeting.
    if (!m_st._sent_location) {
        _send_location();
        m_st._sent_location = true;
    }
}

void SupdupDisplayDecoder::_do_toplevel(std::string& out, unsigned char c) {
    if (c < 0200) {
        _print_char(out, c);
        return;
    }
    m_st._td_args.clear();
    m_st._td_code = c;
    switch (c) {
        case TDMOV:
            m_st._td_argcount = 4;
            m_st._tdstate = TD_ARGS;
            break;
        case TDMV0:
        case TDMV1:
            m_st._td_argcount = 2;
            m_st._tdstate = TD_ARGS;
            break;
        case TDQOT:
        case TDILP:
        case TDDLP:
        case TDICP:
        case TDDCP:
            m_st._td_argcount = 1;
            m_st._tdstate = TD_ARGS;
            break;
        case TDEOF:
        case TDEOL:
        case TDDLF:
        case TDCRL:
        case TDNOP:
        case TDORS:
        case TDFS:
        case TDCLR:
        case TDBEL:
        case TDBOW:
        case TDRST:
        case TDBS:
        case TDCR:
        case TDLF:
            m_st._td_argcount = 0;
            m_st._tdstate = TD_ARGSDONE;
            break;
        default:
            // Codes this terminal does not know are skipped rather than shown.
            break;
    }
}

void SupdupDisplayDecoder::_do_args(std::string& /*out*/, unsigned char c) {
    if (m_st._td_args.size() >= MAX_TD_ARGS) {
        m_st._tdstate = TD_TOPLEVEL;
        return;
    }
    m_st._td_args += static_cast<char>(c);
    if (static_cast<int>(m_st._td_args.size()) == m_st._td_argcount) {
        m_st._tdstate = TD_ARGSDONE;
    }
}

void SupdupDisplayDecoder::_do_argsdone(std::string& out) {
    const std::string& a = m_st._td_args;
    switch (m_st._td_code) {
        case TDMOV:
            append_move(out, arg(a, 2), arg(a, 3));
            break;
        case TDMV0:
        case TDMV1:
            append_move(out, arg(a, 0), arg(a, 1));
            break;
        case TDEOF:
            append_csi(out, "", 'J');
            break;
        case TDEOL:
            append_csi(out, "", 'K');
            break;
        case TDDLF:
            append_csi(out, "", 'X');
            break;
        case TDCRL:
            out += "\r\n";
            append_csi(out, "", 'K');
            break;
        case TDORS:
            _reply(ServerReply::Kind::OutputResetAck, std::string(OUTPUT_RESET_ACK));
            break;
        case TDQOT:
            _print_quoted(out, static_cast<unsigned char>(arg(a, 0)));
            break;
        case TDFS:
            append_csi(out, "", 'C');
            break;
        case TDCLR:
            append_csi(out, "2", 'J');
            append_csi(out, "", 'H');
            break;
        case TDBEL:
            out += '\a';
            break;
        case TDILP:
            append_csi(out, std::to_string(arg(a, 0)), 'L');
            break;
        case TDDLP:
            append_csi(out, std::to_string(arg(a, 0)), 'M');
            break;
        case TDICP:
            append_csi(out, std::to_string(arg(a, 0)), '@');
            break;
        case TDDCP:
            append_csi(out, std::to_string(arg(a, 0)), 'P');
            break;
        case TDBS:
            out += '\b';
            break;
        case TDLF:
            out += '\n';
            break;
        case TDCR:
            out += '\r';
            break;
        default:  // TDNOP, TDBOW, TDRST: nothing to show
            break;
    }
    m_st._tdstate = TD_TOPLEVEL;
}

void SupdupDisplayDecoder::_print_char(std::string& out, unsigned char c) const {
    switch (m_charset) {
        case Charset::Ascii:
            // Line and cursor control arrive as display commands; stray controls are noise.
            if (c >= FIRST_PRINTABLE && c <= LAST_PRINTABLE) {
                out += static_cast<char>(c);
            }
            break;
        case Charset::Its:
            out += ITS_MAP[c & SEVEN_BIT_MASK];
            break;
        case Charset::Waits:
            out += WAITS_MAP[c & SEVEN_BIT_MASK];
            break;
    }
}

void SupdupDisplayDecoder::_print_quoted(std::string& out, unsigned char c) const {
    // The character sets give every code below 0200 a glyph; plain ASCII has none for
    // controls, so there only what is plain text passes.
    if (m_charset == Charset::Ascii) {
        if (plain_text_byte(c)) out += static_cast<char>(c);
    } else if (c < 0200) {
        _print_char(out, c);
    }
}

void SupdupDisplayDecoder::_send_location() {
    _reply(ServerReply::Kind::LocationMarker, std::string(LOCATION_MARKER));
    std::string text = m_location;
    text += '\0';
    _reply(ServerReply::Kind::LocationText, std::move(text));
}

void SupdupDisplayDecoder::_reply(ServerReply::Kind kind, std::string bytes) {
    m_pending.push_back(ServerReply{kind, std::move(bytes)});
}

}  // namespace termiva
