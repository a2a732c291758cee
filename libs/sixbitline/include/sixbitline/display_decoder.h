// The SUPDUP output side as a pure state machine: bytes from the server go in, bytes for
// an ANSI terminal and the replies owed to the server come out. No I/O, so it can be fed
// any chunking of any stream; its state carries over between chunks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sixbitline/export.h"
#include "sixbitline/protocol.h"

namespace termiva {

// One write the client owes the server, in the order the stream required it.
struct ServerReply {
    enum class Kind {
        OutputResetAck,  // answer to TDORS
        LocationMarker,  // the two bytes announcing the location text
        LocationText,    // the location itself, zero-terminated
    };
    Kind kind;
    std::string bytes;
};

// What one chunk of server bytes turned into.
struct DecodedChunk {
    std::string output;                // UTF-8 text and ANSI sequences for the terminal
    std::vector<ServerReply> replies;  // writes owed to the server, in order
};

class SIXBITLINE_API SupdupDisplayDecoder : public SupdupProtocol {
public:
    // Everything that carries over between chunks; readable for tests and diagnostics.
    struct State {
        int _state = CONNECTING;
        int _tdstate = TD_TOPLEVEL;
        int _td_code = 0;
        int _td_argcount = 0;
        std::string _td_args;  // at most 4 argument bytes
        bool _sent_location = false;
    };

    // `charset` is one of the three names (anything else reads as ASCII); `location` is the
    // ASCII text announced to the server after the greeting.
    SupdupDisplayDecoder(std::string_view charset, std::string location);

    // Translates one chunk. Never fails: unknown codes are ignored.
    DecodedChunk feed(std::string_view bytes);

    const State& state() const { return m_st; }
    // Replaces the carried-over state, e.g. to resume a saved one. Inconsistent states are
    // tolerated: an argument list that is already full is dropped on the next byte.
    void set_state(State state) { m_st = std::move(state); }

private:
    void _process_byte(std::string& out, unsigned char c);
    void _do_toplevel(std::string& out, unsigned char c);
    void _do_args(std::string& out, unsigned char c);
    void _do_argsdone(std::string& out);
    void _print_char(std::string& out, unsigned char c) const;
    void _print_quoted(std::string& out, unsigned char c) const;
    void _send_location();
    void _reply(ServerReply::Kind kind, std::string bytes);

    enum class Charset { Ascii, Its, Waits };
    Charset m_charset;
    std::string m_location;
    State m_st;
    std::vector<ServerReply> m_pending;  // replies of the running feed()
};

}  // namespace termiva
