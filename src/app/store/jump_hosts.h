// A session's jump hosts ("proxy_jump"), written as OpenSSH's ProxyJump is:
// [user@]host[:port], comma-separated, the first hop first; an IPv6 address in brackets.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace termiva {

struct JumpHost {
    std::string user;  // "" when not written: the session's user name
    std::string host;
    int port = 22;
};

struct JumpChain {
    std::vector<JumpHost> hops;
    std::string error;  // why the text is not a chain; no hops then
};

// Longer texts and chains are refused: no one routes through more machines than this,
// and each hop costs a connection and a thread.
inline constexpr std::size_t MAX_JUMP_TEXT = 1024;
inline constexpr std::size_t MAX_JUMP_HOPS = 8;

// Blank (or OpenSSH's "none") is no jump host.
JumpChain parse_jump_chain(std::string_view text);

}  // namespace termiva
