// The person at the terminal, reached while a connection logs in: a login asks them for
// what no saved setting answers (a password, a one-time code), as OpenSSH does.
#pragma once

#include <string>

#include "connect/backend.h"

namespace termiva {

// The user gave no answer: they cancelled, closed the tab, or let the time run out.
class LoginAbandoned : public BackendError {
public:
    using BackendError::BackendError;
};

class LoginUser {
public:
    virtual ~LoginUser() = default;
    // Shows `prompt` (a peer's words: the implementation makes them safe to show) and
    // returns the line typed in answer, shown while typed only when `echo`. Blocks until
    // the line is complete. Throws LoginAbandoned.
    virtual std::string ask(const std::string& prompt, bool echo) = 0;
    // Shows one line of the login's (a refusal before asking again, the server's
    // instructions).
    virtual void tell(const std::string& text) = 0;
};

}  // namespace termiva
