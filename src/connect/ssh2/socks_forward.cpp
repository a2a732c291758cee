// A dynamic forward's client: its SOCKS request read with a time limit, then carried like
// a local forward's connection to the destination it named.
#include <chrono>

#include "connect/ssh2/socks_negotiation.h"
#include "connect/ssh2/ssh_forward.h"
#include "platform/log.h"

namespace termiva::ssh2 {
namespace {

// Time is the point here: a client that connects and never sends its request would hold
// a worker thread (of a limited number) for as long as the tab lives.
constexpr std::chrono::seconds REQUEST_TIME_LIMIT{20};

// Reads until the negotiation has decided, answering as it asks; false when the client
// went away, fell silent past the limit, or the connection is closing.
bool read_request(SshConnection& transport, const UniqueFd& client, SocksNegotiation& talk) {
    const StopFlag& stop = transport.stopping();
    const auto deadline = std::chrono::steady_clock::now() + REQUEST_TIME_LIMIT;
    char buf[1024];
    while (talk.state() == SocksNegotiation::State::reading) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            log::info("ssh", "SOCKS client sent no request within the time limit");
            return false;
        }
        const platform::SocketReady seen = platform::wait_socket(
            client.get(), platform::SocketWant::read, stop.wake(), static_cast<int>(left));
        if (seen.woken) return false;
        if (!seen.ready) continue;
        const platform::SocketIo io = platform::recv_some(client.get(), buf, sizeof buf);
        if (io.status == platform::SocketIo::would_block) continue;
        if (io.status != platform::SocketIo::done) return false;
        if (!send_all(client.get(), talk.feed(std::string_view(buf, io.bytes)), stop)) return false;
    }
    return true;
}

}  // namespace

void serve_socks_client(SshConnection& transport, UniqueFd& client) {
    const StopFlag& stop = transport.stopping();
    SocksNegotiation talk;
    if (!read_request(transport, client, talk)) return;
    if (talk.state() == SocksNegotiation::State::refused) {
        log::info("ssh", "SOCKS request refused: " + talk.error());
        return;
    }
    const std::string destination = talk.host() + ":" + std::to_string(talk.port());
    auto [origin_host, origin_port] = platform::peer_address(client.get());
    if (origin_host.empty()) origin_host = "127.0.0.1";
    std::shared_ptr<SshChannel> channel;
    try {
        channel = transport.open_direct_tcpip(talk.host(), talk.port(), origin_host, origin_port);
    } catch (const BackendError& e) {
        log::warn("ssh", "SOCKS forward to " + destination + ": " + e.what());
        send_all(client.get(), talk.reply(false), stop);
        return;
    }
    if (send_all(client.get(), talk.reply(true), stop)) {
        try {
            if (!talk.early_data().empty()) channel->send(talk.early_data());
            copy_until_closed(client.get(), *channel, stop);
        } catch (const BackendError& e) {
            log::warn("ssh", "SOCKS forward to " + destination + ": " + e.what());
        }
    }
    channel->close();
    client.reset();
}

}  // namespace termiva::ssh2
