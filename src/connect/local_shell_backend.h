// The local shell's backend on this system: a pseudo console on Windows, a pseudo-terminal
// elsewhere. Both take the same options (shell name, custom command, size, working folder),
// so the local shell tab is started the same way on both.
#pragma once

#ifdef _WIN32
#include "connect/conpty_backend.h"
#else
#include "connect/pty_backend.h"
#endif

namespace termiva {

#ifdef _WIN32
using LocalShellBackend = ConptyBackend;
#else
using LocalShellBackend = PtyBackend;
#endif

}  // namespace termiva
