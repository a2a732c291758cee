// SUPDUP protocol vocabulary (RFC 734 and the ITS/WAITS terminal documentation): the
// terminal description words and option bits, the %TD display codes, the connection and
// display-command states, and the glyph tables of the two PDP-10 character sets.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "sixbitline/export.h"

namespace termiva {

// Held as a base of both the decoder and the client, so that each can name the codes
// without qualification and `Sixbitline::TDMOV` reads as the protocol documents do.
// Not exported as a whole: its constants are defined here, and a Windows program would look
// for them in the DLL, which has no copy of them; the two glyph tables the DLL defines are.
struct SupdupProtocol {
    // A 36-bit PDP-10 word travels in a 64-bit integer.
    using Word = std::uint64_t;

    static constexpr int DEFAULT_PORT = 95;

    // Terminal description: count word (-5 words follow), type, options, size, scroll.
    static constexpr Word WORDS = 0777773000000;
    static constexpr Word TCTYP = 07;
    static constexpr Word TTYROL = 01;

    // TTYOPT bits.
    static constexpr Word TOALT = 0200000000000;
    static constexpr Word TOCLC = 0100000000000;
    static constexpr Word TOERS = 040000000000;
    static constexpr Word TOMVB = 010000000000;
    static constexpr Word TOSAI = 04000000000;
    static constexpr Word TOSA1 = 02000000000;
    static constexpr Word TOOVR = 01000000000;
    static constexpr Word TOMVU = 0400000000;
    static constexpr Word TOMOR = 0200000000;
    static constexpr Word TOROL = 0100000000;
    static constexpr Word TOLWR = 020000000;
    static constexpr Word TOFCI = 010000000;
    static constexpr Word TOLID = 02000000;
    static constexpr Word TOCID = 01000000;
    static constexpr Word TPCBS = 040;
    static constexpr Word TPORS = 010;

    // %TD display codes sent by the server.
    static constexpr std::uint8_t TDMOV = 0200;
    static constexpr std::uint8_t TDMV1 = 0201;
    static constexpr std::uint8_t TDEOF = 0202;
    static constexpr std::uint8_t TDEOL = 0203;
    static constexpr std::uint8_t TDDLF = 0204;
    static constexpr std::uint8_t TDCRL = 0207;
    static constexpr std::uint8_t TDNOP = 0210;
    static constexpr std::uint8_t TDBS = 0211;
    static constexpr std::uint8_t TDLF = 0212;
    static constexpr std::uint8_t TDCR = 0213;
    static constexpr std::uint8_t TDORS = 0214;
    static constexpr std::uint8_t TDQOT = 0215;
    static constexpr std::uint8_t TDFS = 0216;
    static constexpr std::uint8_t TDMV0 = 0217;
    static constexpr std::uint8_t TDCLR = 0220;
    static constexpr std::uint8_t TDBEL = 0221;
    static constexpr std::uint8_t TDILP = 0223;
    static constexpr std::uint8_t TDDLP = 0224;
    static constexpr std::uint8_t TDICP = 0225;
    static constexpr std::uint8_t TDDCP = 0226;
    static constexpr std::uint8_t TDBOW = 0227;
    static constexpr std::uint8_t TDRST = 0230;

    static constexpr std::string_view CHARSET_ASCII = "ascii";
    static constexpr std::string_view CHARSET_ITS = "its";
    static constexpr std::string_view CHARSET_WAITS = "waits";

    // Connection states: the greeting passes through until the first TDNOP.
    static constexpr int CONNECTING = 0;
    static constexpr int CONNECTED = 1;

    // Display-command states.
    static constexpr int TD_TOPLEVEL = 0;
    static constexpr int TD_ARGS = 1;
    static constexpr int TD_ARGSDONE = 2;

    // UTF-8 glyph of each 7-bit code; an empty entry shows nothing.
    SIXBITLINE_API static const std::array<std::string_view, 128> ITS_MAP;
    SIXBITLINE_API static const std::array<std::string_view, 128> WAITS_MAP;
};

}  // namespace termiva
