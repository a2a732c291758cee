// The desktop conveniences of the page: the logo images, opening addresses (only web and
// mail addresses ever reach the desktop), and the notices of delivered software.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/desktop.h"
#include "support/fake_desktop.h"
#include "unit/app_fixture.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

class Conveniences : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        app->set_desktop(desktop);
        app->set_module_dir_for_tests(module);
    }
    Json call(const std::string& op, Json args = Json::array()) {
        return *app->call_bridge(op, args);
    }
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    fs::path module = dir.path() / "program";
};

TEST_F(Conveniences, RefusesEverythingButWebAndMailAddressesBeforeTheDesktopSeesIt) {
    for (const std::string refused : {"",
                                      "file:///etc/passwd",
                                      "javascript:alert(1)",
                                      "JavaScript:alert(1)",
                                      "ssh://x",
                                      "ms-settings:display",
                                      "vbscript:x",
                                      "data:text/html,<b>",
                                      "about:blank",
                                      "not an address",
                                      "www.example.com",
                                      "https:",
                                      "https:/",
                                      "https:///etc/passwd",
                                      "http:/etc/passwd",
                                      "https://a b",
                                      "https://a\nfile:///x",
                                      "mailto:",
                                      "-https://x",
                                      " https://example.com",
                                      "https://ex\x01.com",
                                      "1http://x"}) {
        EXPECT_EQ(call("open_url", {refused}), false) << refused;
    }
    EXPECT_EQ(call("open_url", Json::array({42})), false);
    EXPECT_EQ(call("open_url", Json::array()), false);
    EXPECT_EQ(desktop->launched(), std::vector<std::string>{}) << "an address got through";
}

TEST_F(Conveniences, HandsWebAndMailAddressesToTheDesktopUnchanged) {
    const std::vector<std::string> accepted = {
        "https://example.com/a?b=1&c=%20#top", "http://127.0.0.1:8080/", "HTTPS://EXAMPLE.COM",
        "mailto:someone@example.com?subject=hi", "https://例子.測試/路徑"};
    for (const auto& url : accepted)
        EXPECT_EQ(call("open_url", {url}), true) << url;
    EXPECT_EQ(desktop->launched(), accepted);

    desktop->launch_answer = false;  // the desktop could not open it
    EXPECT_EQ(call("open_url", {"https://example.com"}), false);
    app->set_desktop(nullptr);
    EXPECT_EQ(call("open_url", {"https://example.com"}), false);
}

TEST_F(Conveniences, GivesTheLogoFilesAsDataAddresses) {
    EXPECT_EQ(call("get_images"), (Json{{"logo", ""}, {"logo_ico", ""}}));
    write_file(module / "格式範本" / "logo.png", "abc");
    write_file(module / "格式範本" / "logo.ico", std::string("\x00\xff\x10\x20", 4));
    EXPECT_EQ(call("get_images"), (Json{{"logo", "data:image/png;base64,YWJj"},
                                        {"logo_ico", "data:image/x-icon;base64,AP8QIA=="}}));
    write_file(module / "格式範本" / "logo.png", "ab");
    fs::remove(module / "格式範本" / "logo.ico");
    fs::create_directories(module / "格式範本" / "logo.ico");  // unreadable as a file
    EXPECT_EQ(call("get_images"), (Json{{"logo", "data:image/png;base64,YWI="}, {"logo_ico", ""}}));
}

TEST_F(Conveniences, ListsNoticesOfMetadataFoldersInSortedOrderWithLabelsAndRules) {
    write_file(module / "zeta-lib-1.2.3.dist-info" / "LICENSE", "Zeta licence\n\n  \n");
    write_file(module / "alpha-2.0.dist-info" / "licenses" / "NOTICE", "Alpha notice");
    write_file(module / "alpha-2.0.dist-info" / "LICENSE.txt", "Alpha text");
    write_file(module / "alpha-2.0.dist-info" / "LICENSE", "Alpha licence");
    write_file(module / "alpha-2.0.dist-info" / "licenses" / "README", "not a notice");
    write_file(module / "quiet-1.dist-info" / "README", "no notice file");
    write_file(module / "plain.dist-info" / "licence.md", "Plain \xff");
    write_file(module / "other-1.0" / "LICENSE", "not a metadata folder");

    const Json items = call("get_third_party_licenses")["items"];
    ASSERT_EQ(items.size(), 3u) << items.dump(1);
    const std::string rule = [] {
        std::string r;
        for (int i = 0; i < 60; ++i)
            r += "\u2500";
        return r;
    }();
    EXPECT_EQ(items[0],
              (Json{{"name", "alpha"},
                    {"version", "2.0"},
                    {"license_file", "LICENSE · LICENSE.txt · licenses/NOTICE"},
                    {"body", rule + "\n  LICENSE\n" + rule + "\nAlpha licence\n\n" + rule +
                                 "\n  LICENSE.txt\n" + rule + "\nAlpha text\n\n" + rule +
                                 "\n  licenses/NOTICE\n" + rule + "\nAlpha notice"}}));
    EXPECT_EQ(items[1], (Json{{"name", "plain"},
                              {"version", ""},
                              {"license_file", "licence.md"},
                              {"body", "Plain \uFFFD"}}));
    EXPECT_EQ(items[2], (Json{{"name", "zeta-lib"},
                              {"version", "1.2.3"},
                              {"license_file", "LICENSE"},
                              {"body", "Zeta licence"}}));
}

TEST_F(Conveniences, APuttySourceTreeComesFirstWithItsRelease) {
    write_file(module / "Putty原始檔案" / "LICENCE",
               "PuTTY is copyright 1997-2024 Simon Tatham.\n");
    write_file(module / "Putty原始檔案" / "version.h", "#define RELEASE 0.81\n");
    write_file(module / "x-1.dist-info" / "LICENSE", "x");
    const Json items = call("get_third_party_licenses")["items"];
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (Json{{"name", "PuTTY"},
                              {"version", "0.81"},
                              {"license_file", "LICENCE"},
                              {"body", "PuTTY is copyright 1997-2024 Simon Tatham.\n"}}));
    EXPECT_EQ(items[1]["name"], "x");
    const auto [root, putty] = app->_license_scan_dirs();
    EXPECT_EQ(root, module);
    EXPECT_EQ(putty, module / "Putty原始檔案");
}

TEST(ProgramNotices, TheBuiltProgramFolderCarriesANoticeForEachDeliveredComponent) {
    const fs::path program = TERMIVA_PROGRAM_DIR;
    if (!fs::exists(program / "html" / "index.html"))
        GTEST_SKIP() << "the window program is not built";
    TempDir data;
    TermivaApp app(nullptr, nullptr, data.path());
    app.set_module_dir_for_tests(program);
    const Json items = app.get_third_party_licenses()["items"];
    std::vector<std::string> names, folders;
    for (const auto& entry : fs::directory_iterator(program)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 10 && name.ends_with(".dist-info")) folders.push_back(name);
    }
    ASSERT_EQ(items.size(), folders.size()) << "a metadata folder without a licence text";
    for (const auto& item : items) {
        names.push_back(item["name"]);
        EXPECT_FALSE(item["version"].get<std::string>().empty()) << item["name"];
        EXPECT_GT(item["body"].get<std::string>().size(), 300u) << item["name"];
        EXPECT_EQ(item["license_file"].get<std::string>().rfind("LICENSE", 0), 0u) << item["name"];
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    for (const std::string expected :
         {"xterm", "xterm-addon-fit", "libssh", "ICU", "libcurl", "zlib", "OpenSSL", "GTK",
          "WebKitGTK", "GLib", "ayatana-appindicator", "nlohmann-json", "markdown-it",
          "linkify-it"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
}

TEST(DesktopAddresses, OnlyWebAddressesWithAHostAndMailAddressesPass) {
    EXPECT_TRUE(platform::desktop_may_open("https://x"));
    EXPECT_TRUE(platform::desktop_may_open("mailto:a@b"));
    EXPECT_FALSE(platform::desktop_may_open("https://x/" + std::string(20000, 'a')));
    EXPECT_FALSE(platform::desktop_may_open("http"));
    EXPECT_FALSE(platform::desktop_may_open("x-scheme-handler:https://x"));
    EXPECT_FALSE(platform::desktop_may_open("https://x\x7f"));
}

}  // namespace
}  // namespace termiva::testing
