// The user's files are never lost: an unreadable sessions.json or settings.json is set
// aside with its bytes before anything is written, the page is told once, the data
// folder and files are the owner's alone, and a save that fails says so.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "unit/app_fixture.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;
using StoreSafety = testing::AppFixture;

std::string bytes_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Every "<name>.unreadable-*" beside `file`.
std::vector<fs::path> set_aside_copies(const fs::path& file) {
    std::vector<fs::path> out;
    const std::string prefix = file.filename().string() + ".unreadable-";
    for (const auto& e : fs::directory_iterator(file.parent_path())) {
        if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(StoreSafety, UnreadableFilesAreSetAsideWithTheirBytesAndToldOnce) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"truncated", "{\"sessions\": [{\"name\": \"work\", \"host\": \"a.example\""},
        {"a JSON array", "[{\"name\": \"work\"}]"},
        {"invalid UTF-8", "{\"sessions\": [{\"name\": \"w\xff\xfeork\"}]}"},
        // Reading this back once crashed the program at every start (the stack overflowed).
        {"one field nested 100,000 levels deep",
         "{\"sessions\": [{\"name\": " + std::string(100000, '[') + std::string(100000, ']') +
             "}]}"},
    };
    for (const auto& [what, content] : cases) {
        SCOPED_TRACE(what);
        app.reset();
        fs::remove_all(dir.path());
        fs::create_directories(dir.path());
        { std::ofstream(dir.path() / "sessions.json", std::ios::binary) << content; }
        { std::ofstream(dir.path() / "settings.json", std::ios::binary) << content; }
        start();

        Json state = app->get_initial_state();
        EXPECT_TRUE(state["sessions"].empty());
        EXPECT_EQ(state["language"], "en");
        for (const char* name : {"sessions.json", "settings.json"}) {
            const auto copies = set_aside_copies(dir.path() / name);
            ASSERT_EQ(copies.size(), 1u) << name;
            EXPECT_EQ(bytes_of(copies[0]), content) << name;
            EXPECT_FALSE(fs::exists(dir.path() / name)) << name << " is still in the way";
        }
        ASSERT_EQ(state["notices"].size(), 2u) << state.dump();
        EXPECT_EQ(state["notices"][0]["key"], "notice.store_unreadable");
        EXPECT_EQ(state["notices"][0]["file"], (dir.path() / "sessions.json").string());
        EXPECT_EQ(state["notices"][0]["moved_to"],
                  set_aside_copies(dir.path() / "sessions.json")[0].string());
        // Told once: a reload of the page does not repeat it.
        EXPECT_TRUE(app->get_initial_state()["notices"].empty());

        // The next save writes a fresh file; the set-aside bytes stay.
        Json saved = app->save_session({{"name", "fresh"}});
        EXPECT_FALSE(saved.contains("save_error")) << saved.dump();
        app->set_language("zh-Hant");
        EXPECT_EQ(Json::parse(bytes_of(dir.path() / "sessions.json"))["sessions"][0]["name"],
                  "fresh");

        // A second start reads the new files and moves nothing.
        app.reset();
        start();
        EXPECT_EQ(app->get_initial_state()["sessions"].size(), 1u);
        EXPECT_EQ(app->get_initial_state()["language"], "zh-Hant");
        EXPECT_EQ(set_aside_copies(dir.path() / "sessions.json").size(), 1u);
        EXPECT_EQ(set_aside_copies(dir.path() / "settings.json").size(), 1u);
    }
}

TEST_F(StoreSafety, AnEarlierSetAsideFileIsNeverReplaced) {
    for (int round = 0; round < 3; ++round) {
        app.reset();
        { std::ofstream(dir.path() / "sessions.json") << "broken " << round; }
        start();
    }
    const auto copies = set_aside_copies(dir.path() / "sessions.json");
    ASSERT_EQ(copies.size(), 3u);
    std::set<std::string> kept;
    for (const auto& c : copies)
        kept.insert(bytes_of(c));
    EXPECT_EQ(kept, (std::set<std::string>{"broken 0", "broken 1", "broken 2"}));
}

TEST_F(StoreSafety, TheDataFolderAndItsFilesAreTheOwnersAloneUnderUmask022) {
    app.reset();
    const mode_t old_mask = ::umask(022);
    const fs::path fresh = dir.path() / "share" / "Termiva";
    auto first = std::make_unique<TermivaApp>(nullptr, nullptr, fresh);
    first->save_session({{"name", "secret"}, {"password", "hunter2"}});
    first->set_language("zh-Hant");
    first.reset();
    EXPECT_EQ(mode_of(fresh), 0700u);
    EXPECT_EQ(mode_of(fresh / "sessions.json"), 0600u);
    EXPECT_EQ(mode_of(fresh / "settings.json"), 0600u);

    // A folder an older version left open to all is narrowed at start.
    ::chmod(fresh.c_str(), 0755);
    std::make_unique<TermivaApp>(nullptr, nullptr, fresh).reset();
    EXPECT_EQ(mode_of(fresh), 0700u);
    ::umask(old_mask);
}

// The data folder bound read-only in a private mount namespace of a child process: the
// save is refused with a reason for the page and the previous file is as it was.
TEST_F(StoreSafety, ASaveIntoAReadOnlyFolderReportsTheFailureAndKeepsTheFile) {
    app->save_session({{"name", "before"}});
    app.reset();
    const std::string before = bytes_of(dir.path() / "sessions.json");
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        auto say = [&](const std::string& text) {
            [[maybe_unused]] auto n = ::write(pipe_fds[1], text.data(), text.size());
        };
        const std::string folder = dir.path().string();
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            say(std::string("cannot bind the folder read-only: ") + std::strerror(errno));
            ::_exit(2);
        }
        std::string failure;
        {
            TermivaApp app(nullptr, nullptr, dir.path());
            Json saved = app.save_session({{"name", "after"}});
            if (!saved.contains("save_error"))
                failure = "the save claimed success: " + saved.dump();
            else if (saved["save_error"]["file"] != (dir.path() / "sessions.json").string())
                failure = "wrong file named: " + saved.dump();
            else if (saved["save_error"]["error"].get<std::string>().find("Read-only") ==
                     std::string::npos)
                failure = "no reason given: " + saved.dump();
            Json lang = app.set_language("zh-Hant");
            if (failure.empty() && !lang.contains("save_error"))
                failure = "the language change claimed it was saved: " + lang.dump();
        }
        say(failure);
        ::_exit(failure.empty() ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    std::string said;
    char buf[512];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0)
        said.append(buf, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 2) GTEST_SKIP() << said;
    EXPECT_EQ(code, 0) << said;
    EXPECT_EQ(bytes_of(dir.path() / "sessions.json"), before);
}

}  // namespace
}  // namespace termiva
