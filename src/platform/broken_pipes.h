// A write to a peer, pipe or child that has gone away must come back as an error (EPIPE)
// for that one connection, never end the whole program with every tab in it. Sends to
// sockets pass MSG_NOSIGNAL as well, but not every write is ours to flag (libraries,
// pipes to helper programs, the host's own output), so the signal is ignored for the
// whole process, first thing at start. Children get the default back before exec
// (pty_process, child_process, desktop_opener, the key converter), since programs
// expect to be ended by it. Windows has no such signal: there it does nothing.
#pragma once

namespace termiva::platform {

void ignore_broken_pipes() noexcept;

}  // namespace termiva::platform
