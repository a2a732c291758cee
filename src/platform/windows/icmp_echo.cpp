#include "platform/icmp_echo.h"

namespace termiva::platform {

// Windows' own echo (IcmpSendEcho2) is not wired in yet: the prober then asks only SSH
// servers, seldom, at their port, and leaves the other protocols without an answer.
EchoAnswer icmp_echo(const std::string&, IpFamily, int, const SocketWake&) {
    return EchoAnswer::unavailable;
}

}  // namespace termiva::platform
