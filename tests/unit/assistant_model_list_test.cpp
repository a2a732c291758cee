// The DeepSeek model list, fetched from an HTTP server this test runs on loopback.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "assistant/settings.h"
#include "support/test_support.h"

namespace termiva::assistant {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Answers each connection with `response` (or nothing, when `silent`), and keeps the
// request it read. Stops within 50 ms of destruction.
class LoopbackHttp {
public:
    explicit LoopbackHttp(std::string response, bool silent = false)
        : m_response(std::move(response)), m_silent(silent) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        ::listen(m_fd, 4);
        m_thread = std::thread([this] { serve(); });
    }
    ~LoopbackHttp() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    int port() const { return m_port; }
    std::string request() {
        std::lock_guard lock(m_lock);
        return m_request;
    }

private:
    void serve() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0) continue;
            std::string got;
            char buf[2048];
            while (got.find("\r\n\r\n") == std::string::npos) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 2000) <= 0) break;
                ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(m_lock);
                m_request = got;
            }
            if (m_silent) {
                while (!m_stop)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            } else {
                ::send(c, m_response.data(), m_response.size(), MSG_NOSIGNAL);
            }
            ::close(c);
        }
    }

    std::string m_response;
    bool m_silent;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::string m_request;
    std::thread m_thread;
};

std::string http(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class ModelList : public ::testing::Test {
protected:
    void settings_for(int port) {
        Json obj{
            {"env",
             {{"ANTHROPIC_BASE_URL", "http://127.0.0.1:" + std::to_string(port) + "/v1/anthropic/"},
              {"ANTHROPIC_AUTH_TOKEN", "sk-test-42"}}}};
        std::ofstream(file) << obj.dump();
    }
    testing::TempDir dir;
    std::filesystem::path file = dir.path() / "deepseek-settings.json";
};

TEST_F(ModelList, ComesFromTheProviderWithTheBearerKey) {
    LoopbackHttp server(http(200, R"({"object":"list","data":[{"id":"deepseek-chat"},)"
                                  R"({"id":""},{"name":"x"},7,{"id":"deepseek-v9"}]})"));
    settings_for(server.port());
    const Json r = fetch_deepseek_models(file, "cur");
    EXPECT_EQ(r["ok"], true) << r.dump();
    EXPECT_EQ(r["source"], "api");
    EXPECT_EQ(r["current"], "cur");
    EXPECT_EQ(r["models"], Json::array({"deepseek-chat", "deepseek-v9"}));
    EXPECT_THAT(server.request(), HasSubstr("GET /v1/models HTTP/1.1\r\n"));
    EXPECT_THAT(server.request(), HasSubstr("\r\nAuthorization: Bearer sk-test-42\r\n"));
}

TEST_F(ModelList, AnHttpErrorGivesItsStatusAndTheFallbackModels) {
    for (int status : {401, 500}) {
        LoopbackHttp server(http(status, R"({"error":"no"})"));
        settings_for(server.port());
        const Json r = fetch_deepseek_models(file, "");
        EXPECT_EQ(r["ok"], false);
        EXPECT_EQ(r["error"], "HTTP " + std::to_string(status));
        EXPECT_EQ(r["http_status"], status);
        EXPECT_EQ(r["models"], Json::array({"deepseek-chat", "deepseek-reasoner"}));
        EXPECT_EQ(r["source"], "fallback");
    }
}

TEST_F(ModelList, MalformedOrEmptyAnswersAreReportedNotThrown) {
    {
        LoopbackHttp server(http(200, "{\"data\": [ {\"id\": \"x\""));
        settings_for(server.port());
        const Json r = fetch_deepseek_models(file, "");
        EXPECT_EQ(r["ok"], false);
        EXPECT_THAT(r["error"].get<std::string>(), ::testing::StartsWith("fetch: "));
    }
    {
        LoopbackHttp server(http(200, R"({"data":[]})"));
        settings_for(server.port());
        EXPECT_EQ(fetch_deepseek_models(file, "")["error"], "empty model list");
    }
}

TEST_F(ModelList, ASilentServerRunsIntoTheTimeOut) {
    LoopbackHttp server("", true);
    settings_for(server.port());
    const auto start = std::chrono::steady_clock::now();
    const Json r = fetch_deepseek_models(file, "", std::chrono::milliseconds(400));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r["ok"], false);
    EXPECT_THAT(r["error"].get<std::string>(), HasSubstr("fetch: "));
    EXPECT_THAT(r["error"].get<std::string>(), HasSubstr("imed out"));
}

TEST_F(ModelList, MissingOrIncompleteSettingsNeedNoNetwork) {
    EXPECT_EQ(fetch_deepseek_models(file, "")["error"], "settings file not found");
    std::ofstream(file) << R"({"env":{"ANTHROPIC_BASE_URL":"http://127.0.0.1:1"}})";
    EXPECT_THAT(fetch_deepseek_models(file, "")["error"].get<std::string>(),
                ::testing::StartsWith("settings parse: "));
}

}  // namespace
}  // namespace termiva::assistant
