// Long-day behaviour of the real termiva-host, bounded: hundreds of tabs opened and
// closed leave no thread, descriptor or growing memory behind, peers that misbehave
// (silent, resetting, trickling) still end every connect with a status line within its
// time-out while closing a tab stays immediate, and a peer flooding a tab the page drains
// slowly costs no more memory than the tab's output cap.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A loopback peer with one behaviour for every connection it takes, all served by one
// thread with poll(2).
class MisbehavingPeer {
public:
    enum class Mode {
        echo,     // sends back what it receives
        silent,   // takes the connection and never says a word
        reset,    // says `text`, then resets the connection
        trickle,  // says `text` one byte a second, forever
    };

    MisbehavingPeer(Mode mode, std::string text = "") : m_mode(mode), m_text(std::move(text)) {
        m_listen = testing::listen_on_loopback(64, m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~MisbehavingPeer() {
        m_stop = true;
        m_thread.join();
        for (const auto& c : m_clients)
            ::close(c.fd);
        ::close(m_listen);
    }
    MisbehavingPeer(const MisbehavingPeer&) = delete;
    MisbehavingPeer& operator=(const MisbehavingPeer&) = delete;

    int port() const { return m_port; }
    int accepted() const { return m_accepted; }
    // Connections the client side has closed (what a closed tab must do).
    int ended() const { return m_ended; }

private:
    struct Client {
        int fd;
        std::size_t sent = 0;
        std::chrono::steady_clock::time_point next_byte;
    };

    void serve() {
        char buf[4096];
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            for (const auto& c : m_clients)
                fds.push_back({c.fd, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 20);
            if (fds[0].revents & POLLIN) accept_one();
            const auto now = std::chrono::steady_clock::now();
            std::vector<int> gone;
            for (std::size_t i = 1; i < fds.size(); ++i) {
                Client& c = m_clients[i - 1];
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    ssize_t n = ::read(c.fd, buf, sizeof buf);
                    if (n <= 0) {
                        gone.push_back(c.fd);
                        continue;
                    }
                    if (m_mode == Mode::echo)
                        (void)!::send(c.fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
                }
                if (m_mode == Mode::trickle && now >= c.next_byte && !m_text.empty()) {
                    (void)!::send(c.fd, &m_text[c.sent % m_text.size()], 1, MSG_NOSIGNAL);
                    ++c.sent;
                    c.next_byte = now + 1s;
                }
            }
            for (int fd : gone) {
                ::close(fd);
                std::erase_if(m_clients, [fd](const Client& c) { return c.fd == fd; });
                ++m_ended;
            }
        }
    }

    void accept_one() {
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        ++m_accepted;
        if (m_mode == Mode::reset) {
            (void)!::send(fd, m_text.data(), m_text.size(), MSG_NOSIGNAL);
            // A zero linger turns close into a reset (RST), as a crashing peer's would.
            linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(fd);
            return;
        }
        m_clients.push_back({fd, 0, std::chrono::steady_clock::now()});
    }

    Mode m_mode;
    std::string m_text;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_ended{0};
    std::vector<Client> m_clients;  // the serving thread's
};

// A loopback peer that, once the client says something, sends `total` bytes of numbered
// lines as fast as the connection takes them, then "FLOOD-END", and stays connected.
class FloodPeer {
public:
    static constexpr std::size_t LINE = 64;  // "%015zu" + filler + "\r\n"

    explicit FloodPeer(std::size_t total) : m_total(total) {
        m_listen = testing::listen_on_loopback(4, m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~FloodPeer() {
        m_stop = true;
        m_thread.join();
        if (m_client >= 0) ::close(m_client);
        ::close(m_listen);
    }
    FloodPeer(const FloodPeer&) = delete;
    FloodPeer& operator=(const FloodPeer&) = delete;

    int port() const { return m_port; }
    bool done() const { return m_done; }
    std::size_t lines() const { return m_total / LINE; }

    // Line `n` as sent.
    static std::string line(std::size_t n) {
        char head[32];
        std::snprintf(head, sizeof head, "%015zu ", n);
        std::string out(head);
        out.resize(LINE - 2, '.');
        return out + "\r\n";
    }

private:
    // Every wait is bounded, so the destructor's stop is seen.
    bool wait_for(int fd, short events) {
        while (!m_stop) {
            pollfd p{fd, events, 0};
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }

    void serve() {
        if (!wait_for(m_listen, POLLIN)) return;
        m_client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (m_client < 0 || !wait_for(m_client, POLLIN)) return;
        char go[64];
        if (::read(m_client, go, sizeof go) <= 0) return;
        std::string block;
        std::size_t next = 0;
        const std::size_t count = lines();
        while (next < count && !m_stop) {
            block.clear();
            for (int k = 0; k < 1024 && next < count; ++k)
                block += line(next++);
            if (!send_all(block)) return;
        }
        if (send_all("FLOOD-END\r\n")) m_done = true;
    }

    bool send_all(std::string_view data) {
        while (!data.empty()) {
            if (!wait_for(m_client, POLLOUT)) return false;
            ssize_t n = ::send(m_client, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    std::size_t m_total;
    int m_listen = -1;
    int m_client = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
};

std::size_t entries(const fs::path& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

// Resident memory of a process in KiB.
long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

std::string lines(const std::vector<std::string>& all) {
    std::string out;
    for (const auto& line : all)
        out += "\n  " + line;
    return out;
}

struct Usage {
    std::size_t threads = 0;
    std::size_t fds = 0;
    long rss_kib = 0;
};

Usage usage_of(pid_t pid) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    return {entries(proc / "task"), entries(proc / "fd"), resident_kib(pid)};
}

class Soak : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path()};

    std::string save(const json& session) {
        return host.call("save_session", {session})["id"].get<std::string>();
    }
    std::string connect(const std::string& session_id) {
        return host.call("connect_session", {session_id})["tab_id"].get<std::string>();
    }
    bool connected(const std::string& tab, std::chrono::milliseconds limit) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "terminalConnected", tab);
                },
                limit)
            .has_value();
    }

    // One batch of tabs lives side by side: all opened, each answers a round trip of
    // typed text, all closed. A session has one tab at a time, so each tab has its own.
    void batch(const std::vector<std::pair<std::string, bool>>& sessions, int round) {
        std::vector<std::string> tabs;
        for (const auto& [id, shell] : sessions)
            tabs.push_back(connect(id));
        for (std::size_t k = 0; k < tabs.size(); ++k) {
            ASSERT_TRUE(connected(tabs[k], 15s)) << "round " << round << ", tab " << k;
            const std::string word = "soak-" + std::to_string(round) + "-" + std::to_string(k);
            // A shell echoes the command line too: the quotes keep that from matching.
            const std::string typed = sessions[k].second ? "echo soak-" + std::to_string(round) +
                                                               "\"-" + std::to_string(k) + "\"\r"
                                                         : word + "\r";
            ASSERT_EQ(host.call("send_input", {tabs[k], typed}), true);
        }
        for (std::size_t k = 0; k < tabs.size(); ++k) {
            const std::string word = "soak-" + std::to_string(round) + "-" + std::to_string(k);
            const std::string seen = host.drain_until(tabs[k], word, 15s);
            ASSERT_NE(seen.find(word), std::string::npos)
                << "round " << round << ", tab " << k << " showed: " << seen;
        }
        for (const auto& tab : tabs)
            host.call("close_tab", {tab});
    }
};

TEST_F(Soak, FiveHundredTabsOpenedAndClosedLeaveNothingBehind) {
    MisbehavingPeer echo(MisbehavingPeer::Mode::echo);
    // Ten tabs at a time: eight raw TCP tabs to the echo peer, two local shells.
    std::vector<std::pair<std::string, bool>> sessions;
    for (int k = 0; k < 10; ++k) {
        const bool shell = k >= 8;
        json session =
            shell ? json{{"protocol", "conpty"}, {"conpty_shell", "sh"}}
                  : json{{"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", echo.port()}};
        session["name"] = "soak " + std::to_string(k);
        sessions.emplace_back(save(session), shell);
    }

    // One batch first: pools and caches that live as long as the program are made now,
    // and what is measured after is only what tabs leave behind.
    batch(sessions, 0);
    if (HasFatalFailure()) return;
    const pid_t pid = host.pid();
    const Usage before = usage_of(pid);
    Usage half;
    const int rounds = 50;  // 500 tabs
    for (int round = 1; round <= rounds; ++round) {
        batch(sessions, round);
        if (HasFatalFailure()) return;
        if (round == rounds / 2) half = usage_of(pid);
    }
    EXPECT_EQ(host.call("get_runtime_state")["tabs"].size(), 0u);

    // Threads and descriptors of closed tabs go away. The page-call pool may have grown
    // while calls overlapped (a loaded machine); its idle workers leave after 20 s, so
    // the wait covers that.
    Usage after;
    const bool settled = testing::eventually(
        [&] {
            after = usage_of(pid);
            return after.threads <= before.threads + 2 && after.fds <= before.fds + 2;
        },
        30s);
    EXPECT_TRUE(settled) << "threads " << before.threads << " -> " << after.threads << ", fds "
                         << before.fds << " -> " << after.fds;
    EXPECT_TRUE(testing::eventually([&] { return echo.ended() == echo.accepted(); }, 10s))
        << echo.accepted() - echo.ended() << " peer connections were never closed";
    // Memory settles: the second half of the run does not add what a leak per tab would.
    EXPECT_LT(after.rss_kib - half.rss_kib, 16 * 1024)
        << "resident memory " << before.rss_kib << " -> " << half.rss_kib << " -> " << after.rss_kib
        << " KiB";
    EXPECT_EQ(host.quit(), 0);
}

// Each misbehaving peer, for each protocol with a handshake, and raw TCP: the connect
// ends (connected or failed, with its status line) within the 15 s time-out, and a tab
// closed while its connect hangs is gone at once.
TEST_F(Soak, MisbehavingPeersEndEveryConnectWithAStatusLineAndCloseAtOnce) {
    struct Case {
        std::string name;
        MisbehavingPeer::Mode mode;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"silent", MisbehavingPeer::Mode::silent, ""},
        {"reset", MisbehavingPeer::Mode::reset, "SSH-2.0-Half"},
        {"trickle", MisbehavingPeer::Mode::trickle, "SSH-2.0-Slow"},
    };
    std::vector<std::unique_ptr<MisbehavingPeer>> peers;
    struct Attempt {
        std::string what;
        std::string tab;
        std::string session;
    };
    std::vector<Attempt> attempts;
    for (const auto& c : cases) {
        peers.push_back(std::make_unique<MisbehavingPeer>(c.mode, c.text));
        const int port = peers.back()->port();
        for (const std::string protocol : {"ssh", "supdup", "raw"}) {
            json session = {{"name", c.name + "-" + protocol},
                            {"protocol", protocol},
                            {"host", "127.0.0.1"},
                            {"port", port}};
            if (protocol == "ssh") {
                session["username"] = "nobody";
                session["password"] = "not-a-password";
            }
            const std::string id = save(session);
            attempts.push_back({c.name + " peer, " + protocol, connect(id), id});
        }
    }
    const auto started = std::chrono::steady_clock::now();
    auto ended = [&](const std::string& tab) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return c["args"].is_array() && !c["args"].empty() && c["args"][0] == tab &&
                           (c["call"] == "terminalConnected" ||
                            (c["call"] == "setTerminalInfo" && c["args"][2] == true));
                },
                30s)
            .has_value();
    };
    // All connect at once: the slowest decides the time, the time-out plus a margin.
    for (const auto& a : attempts)
        EXPECT_TRUE(ended(a.tab)) << a.what << ": no status line within 30 s, only "
                                  << lines(host.info_lines(a.tab));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 40s);

    // Closing a tab whose connect hangs: ask again, close at once, the answer is quick and
    // the peer sees the connection go.
    for (const auto& a : attempts) {
        host.call("close_tab", {a.tab});
        const std::string tab = connect(a.session);
        ASSERT_TRUE(host.wait_for_call(
                            [&](const json& c) {
                                return c["call"] == "setTerminalInfo" && c["args"][0] == tab;
                            },
                            5s)
                        .has_value());
        const auto closing = std::chrono::steady_clock::now();
        host.call("close_tab", {tab}, 5s);
        EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s) << a.what;  // bounded, generous
    }
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (cases[i].mode == MisbehavingPeer::Mode::reset) continue;  // it closed them itself
        EXPECT_TRUE(
            testing::eventually([&] { return peers[i]->ended() == peers[i]->accepted(); }, 10s))
            << cases[i].name << " peer: " << peers[i]->accepted() - peers[i]->ended()
            << " connections still open after their tabs closed";
    }
    EXPECT_EQ(host.call("get_runtime_state")["tabs"].size(), 0u);
    EXPECT_EQ(host.quit(), 0);
}

// A peer sends as fast as it can (256 MiB here; TERMIVA_FLOOD_MIB=1024 for the full day's
// worth) while the page pulls only every half second: the tab keeps at most its cap
// (2,000,000 characters, the oldest dropped), so the program's memory stays bounded
// however much arrives, and what the page gets last is the flood's end, whole and in order.
TEST_F(Soak, AFloodIntoATabDrainedSlowlyStaysWithinTheOutputCap) {
    std::size_t mib = 256;
    if (const char* env = std::getenv("TERMIVA_FLOOD_MIB")) mib = std::strtoul(env, nullptr, 10);
    FloodPeer peer(mib << 20);
    const std::string tab = connect(save(
        {{"name", "flood"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", peer.port()}}));
    ASSERT_TRUE(connected(tab, 15s));
    const pid_t pid = host.pid();
    const long before = resident_kib(pid);
    ASSERT_EQ(host.call("send_input", {tab, "go\r"}), true);

    const auto started = std::chrono::steady_clock::now();
    long peak = before;
    std::string last;
    std::size_t pulled = 0;
    const auto deadline = started + std::chrono::seconds(60 + mib / 4);
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        for (int k = 0; k < 5; ++k) {
            std::this_thread::sleep_for(100ms);
            peak = std::max(peak, resident_kib(pid));
        }
        last = host.call("drain_terminal", {tab}, 30s).get<std::string>();
        pulled += last.size();
        ended = peer.done() && last.find("FLOOD-END\r\n") != std::string::npos;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(ended) << "the flood's end never reached the page (" << pulled
                       << " bytes pulled in " << seconds << " s)";
    // Bounded by the cap, not by the flood: a few times 2 MB of text in flight (the tab's
    // buffer, the pull's copy and its JSON line), nowhere near the flood's size.
    EXPECT_LT(peak - before, 32 * 1024) << "resident memory " << before << " -> " << peak
                                        << " KiB during a " << mib << " MiB flood";
    EXPECT_LT(pulled, (mib << 20) / 2) << "the slow page was sent most of the flood";
    // The last pull holds the flood's last lines, whole, consecutive and in order.
    const std::size_t end = last.rfind("FLOOD-END\r\n");
    ASSERT_GE(end, 10 * FloodPeer::LINE);
    const std::size_t lines = peer.lines();
    for (std::size_t k = 1; k <= 10; ++k) {
        EXPECT_EQ(last.substr(end - k * FloodPeer::LINE, FloodPeer::LINE),
                  FloodPeer::line(lines - k));
    }
    std::fprintf(stderr, "[soak] %zu MiB flood in %.1f s; host resident %ld -> %ld KiB peak\n", mib,
                 seconds, before, peak);
    host.call("close_tab", {tab});
    EXPECT_EQ(host.quit(), 0);
}

}  // namespace
}  // namespace termiva
