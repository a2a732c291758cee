// The two ways an SSH-2 connection attempt fails, as the user is told about them.
#pragma once

#include "connect/backend.h"

namespace termiva {

// The server refused every authentication method tried.
class SshAuthError : public BackendError {
public:
    using BackendError::BackendError;
};

}  // namespace termiva
