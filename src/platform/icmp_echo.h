// One ICMP echo ("ping") without privileges: a datagram ICMP socket, which Linux grants to
// the groups in net.ipv4.ping_group_range (IPv4 and IPv6 alike). It touches no port of the
// host, so nothing listening there ever notices it.
#pragma once

#include <string>

#include "platform/socket_io.h"

namespace termiva::platform {

enum class EchoAnswer {
    answered,     // an address of the host replied
    silent,       // no reply in time, or the name did not resolve
    unavailable,  // this system does not let the program send an echo: nothing was sent
};

// Sends one echo request to each address of `family` that `host` resolves to, in turn,
// until one replies or `timeout_ms` in all has passed. A fired `wake` ends the wait
// (silent).
EchoAnswer icmp_echo(const std::string& host, IpFamily family, int timeout_ms,
                     const SocketWake& wake);

}  // namespace termiva::platform
