#include "platform/broken_pipes.h"

namespace termiva::platform {

// A write to a closed pipe or socket fails with an error code on Windows; nothing to turn off.
void ignore_broken_pipes() noexcept {}

}  // namespace termiva::platform
