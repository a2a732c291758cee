#include "platform/broken_pipes.h"

#include <csignal>

namespace termiva::platform {

void ignore_broken_pipes() noexcept {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace termiva::platform
