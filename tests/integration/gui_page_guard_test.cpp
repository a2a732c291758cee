// The web view only ever runs the program's page: a script changing window.location and
// a local HTML file dropped onto the window leave the page in place, and the foreign
// page's script never reaches the bridge. Real WebKitGTK under a private X server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "integration/gui_xdnd_source.h"
#include "integration/gui_xvfb.h"
#include "platform/linux/gtk/gtk_desktop.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Our page: says it is ready, keeps a value only this document has, and tells when a
// drag reaches it (it takes no drop itself: what WebKit does with one is what counts).
constexpr const char* OWN_PAGE = R"(<!DOCTYPE html><html><head>
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'self'">
</head><body style="margin:0"><div id="all" style="width:100vw;height:100vh"></div>
<script src="js/own.js"></script></body></html>)";

constexpr const char* OWN_SCRIPT = R"(
const channel = window.webkit.messageHandlers.termiva;
window.report = (tag, value) => channel.postMessage(JSON.stringify({op: 'report', args: [tag, value]}));
window.documentMark = 4242;
document.addEventListener('dragenter', () => report('dragenter', true));
report('ready', location.href);
)";

// What a dropped or navigated-to file would do with the bridge: type into a shell (here:
// write a marker file) and say it got there.
constexpr const char* FOREIGN_PAGE = R"(<!DOCTYPE html><html><body><script>
const channel = window.webkit.messageHandlers.termiva;
channel.postMessage(JSON.stringify({op: 'send_input', args: ['tab', 'touch pwned\r']}));
channel.postMessage(JSON.stringify({op: 'report', args: ['foreign', location.href]}));
</script></body></html>)";

// A web server on loopback with the foreign page, counting the requests it answered.
class ForeignSite {
public:
    ForeignSite() {
        m_listen = testing::listen_on_loopback(8, m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~ForeignSite() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    int served() const { return m_served; }

private:
    void serve() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int c = ::accept(m_listen, nullptr, nullptr);
            if (c < 0) continue;
            std::string request;
            char buf[2048];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 2000) <= 0) break;
                ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            const std::string body = FOREIGN_PAGE;
            const std::string reply =
                "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            (void)!::write(c, reply.data(), reply.size());
            ::close(c);
            ++m_served;
        }
    }

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_served{0};
    std::thread m_thread;
};

class Recorder {
public:
    explicit Recorder(fs::path marker) : m_marker(std::move(marker)) {}
    std::optional<json> handle(const std::string& op, const json& args) {
        std::lock_guard lock(m_lock);
        if (op == "send_input") {
            std::ofstream(m_marker) << args.dump();
            return json(true);
        }
        if (op != "report") return std::nullopt;
        m_reports[args.at(0).get<std::string>()] = args.at(1);
        return json(true);
    }
    std::optional<json> report(const std::string& tag) {
        std::lock_guard lock(m_lock);
        auto it = m_reports.find(tag);
        if (it == m_reports.end()) return std::nullopt;
        return it->second;
    }
    void forget(const std::string& tag) {
        std::lock_guard lock(m_lock);
        m_reports.erase(tag);
    }

private:
    fs::path m_marker;
    std::mutex m_lock;
    std::map<std::string, json> m_reports;
};

class PageGuard : public ::testing::Test {
protected:
    void SetUp() override {
        auto xvfb_path = find_program("Xvfb");
        if (!xvfb_path) {
            if (peers_required()) FAIL() << "Xvfb is required";
            GTEST_SKIP() << "Xvfb not installed";
        }
        m_xvfb = std::make_unique<XvfbServer>(*xvfb_path);
        ASSERT_FALSE(m_xvfb->display().empty());
        ::setenv("DISPLAY", m_xvfb->display().c_str(), 1);
        ::setenv("NO_AT_BRIDGE", "1", 1);
        fs::create_directories(m_dir.path() / "html" / "js");
        std::ofstream(m_dir.path() / "html" / "js" / "own.js") << OWN_SCRIPT;
        std::ofstream(foreign()) << FOREIGN_PAGE;
    }

    fs::path foreign() const { return m_dir.path() / "foreign.html"; }
    fs::path marker() const { return m_dir.path() / "pwned"; }
    std::string foreign_uri() const { return "file://" + foreign().string(); }

    // Runs the window with our page; `drive` runs on a thread of its own meanwhile.
    void run(const std::function<void(platform::PageWindow&)>& drive) {
        auto desktop = platform::gtk::make_gtk_desktop();
        platform::WindowOptions options;
        options.title = "Page guard";
        options.html = OWN_PAGE;
        options.html_base = m_dir.path() / "html";
        options.storage_dir = m_dir.path() / "storage";
        auto window = desktop->create_window(
            options,
            [&](const std::string& op, const json& args, platform::BridgeReply reply) {
                reply(m_recorder.handle(op, args));
            },
            [] { return true; });
        std::thread driver([&] {
            if (eventually([&] { return m_recorder.report("ready").has_value(); }, 30s))
                drive(*window);
            window->destroy();
        });
        desktop->run_event_loop();
        driver.join();
    }

    // Our document is still the one shown, a good while after whatever tried to replace
    // it (a local file loads in well under a second): its own value answers, twice.
    bool still_ours(platform::PageWindow& window) {
        for (int look = 0; look < 2; ++look) {
            std::this_thread::sleep_for(1s);
            m_recorder.forget("mark");
            window.evaluate_script("report('mark', window.documentMark)");
            if (!eventually([&] { return m_recorder.report("mark") == json(4242); }, 5s))
                return false;
        }
        return true;
    }

    TempDir m_dir;
    std::unique_ptr<XvfbServer> m_xvfb;
    Recorder m_recorder{marker()};
};

TEST_F(PageGuard, AScriptedLocationChangeLeavesThePageInPlace) {
    ForeignSite site;
    bool ours_after_web = false, ours_after_file = false;
    run([&](platform::PageWindow& window) {
        window.evaluate_script("window.location = " + json(site.url()).dump());
        ours_after_web = still_ours(window);
        window.evaluate_script("window.location.href = " + json(foreign_uri()).dump());
        ours_after_file = still_ours(window);
    });
    ASSERT_TRUE(m_recorder.report("ready")) << "our page never loaded";
    EXPECT_EQ(m_recorder.report("ready")->get<std::string>().rfind("file://", 0), 0u);
    EXPECT_TRUE(ours_after_web) << "the view left the program's page for a web page";
    EXPECT_TRUE(ours_after_file) << "the view left the program's page for a local file";
    EXPECT_EQ(site.served(), 0) << "the web page was even fetched";
    EXPECT_FALSE(m_recorder.report("foreign")) << "the foreign page reached the bridge";
    EXPECT_FALSE(fs::exists(marker())) << "the foreign page typed through the bridge";
}

TEST_F(PageGuard, ADroppedHtmlFileNeverReplacesThePage) {
    DropOutcome drop;
    bool ours = false;
    run([&](platform::PageWindow& window) {
        DisplayPtr d = open_display(m_xvfb->display());
        Window target = 0;
        eventually([&] { return (target = find_viewable(d.get(), "Page guard")) != 0; }, 10s);
        if (!target) return;
        drop = drop_uris(m_xvfb->display(), target, foreign_uri() + "\r\n", 10s);
        ours = still_ours(window);
    });
    ASSERT_TRUE(m_recorder.report("ready")) << "our page never loaded";
    // The drag really reached the page: otherwise nothing here would be shown.
    EXPECT_TRUE(drop.entered) << "the window never answered the drag";
    EXPECT_TRUE(m_recorder.report("dragenter")) << "the drag never reached the page";
    EXPECT_TRUE(ours) << "the view left the program's page after the drop (accepted "
                      << drop.accepted << ", data asked for " << drop.requested << ")";
    EXPECT_FALSE(m_recorder.report("foreign")) << "the dropped page reached the bridge";
    EXPECT_FALSE(fs::exists(marker())) << "the dropped page typed through the bridge";
}

}  // namespace
}  // namespace termiva::testing
