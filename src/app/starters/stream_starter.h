// The steps every stream protocol's starter shares once its backend is built.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/tabs/tab_host.h"
#include "connect/backend.h"

namespace termiva {

// A connect failure worded by its own catalog key ("err.auth_fail" …) instead of the
// starter's: for backends whose connect() has steps the user should tell apart.
class StartFailure : public BackendError {
public:
    StartFailure(std::string message_key, const std::string& what)
        : BackendError(what), key(std::move(message_key)) {}
    const std::string key;
};

struct StreamStart {
    std::string kind;              // the backend's kind ("raw", "telnet" …), its reader's name
    std::string failure_key;       // message shown when connect() fails
    std::string decoder_encoding;  // empty: the tab's own encoding
    // SSH-2: the connection the shell belongs to, kept beside it for keep-alive changes.
    std::shared_ptr<SshClient> client = nullptr;
};

// Connects `backend` (the tab can reach it meanwhile, so closing the tab cancels the
// attempt), then stores it with the tab's move to connected, sets the decoder, tells the
// page and starts the reader (the host's one pipeline). A failed connect moves the tab to
// failed and shows the failure line. A tab that is closed, or anywhere but connecting or
// reconnecting, keeps nothing: the connection is closed at once.
void run_stream_starter(TabHost& host, const std::string& tab_id, const TabPtr& tab,
                        const std::shared_ptr<Backend>& backend, const StreamStart& how);

}  // namespace termiva
