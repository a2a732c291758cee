// Owners for libssh's C handles.
#pragma once

#include <libssh/libssh.h>

#include <memory>

namespace termiva::ssh2 {

struct SessionFree {
    void operator()(ssh_session s) const { ssh_free(s); }
};
using SessionHandle = std::unique_ptr<ssh_session_struct, SessionFree>;

struct KeyFree {
    void operator()(ssh_key k) const { ssh_key_free(k); }
};
using KeyHandle = std::unique_ptr<ssh_key_struct, KeyFree>;

struct ChannelFree {
    void operator()(ssh_channel c) const { ssh_channel_free(c); }
};
using ChannelHandle = std::unique_ptr<ssh_channel_struct, ChannelFree>;

struct EventFree {
    void operator()(ssh_event e) const { ssh_event_free(e); }
};
using EventHandle = std::unique_ptr<ssh_event_struct, EventFree>;

struct CharFree {
    void operator()(char* p) const { ssh_string_free_char(p); }
};
using SshText = std::unique_ptr<char, CharFree>;

struct HashFree {
    void operator()(unsigned char* p) const { ssh_clean_pubkey_hash(&p); }
};
using HashHandle = std::unique_ptr<unsigned char, HashFree>;

}  // namespace termiva::ssh2
