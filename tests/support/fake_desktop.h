// A desktop that records what the application asks of it and answers as a test sets it
// up: no window system needed.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/desktop.h"

namespace termiva::testing {

namespace fs = std::filesystem;

class FakeWindow : public platform::PageWindow {
public:
    void evaluate_script(const std::string&) override {}
    void show() override { ++shows; }
    void hide() override { ++hides; }
    void destroy() override { ++destroys; }
    std::atomic<int> shows{0}, hides{0}, destroys{0};
};

class FakeTray : public platform::TrayIcon {
public:
    void stop() override { ++stops; }
    std::atomic<int> stops{0};
};

class FakeDesktop : public platform::Desktop {
public:
    void set_app_identity(const std::string&) override {}
    platform::InstanceClaim claim_instance(const std::string&) override {
        return {platform::InstanceClaim::Role::first, {}};
    }
    void on_second_start(std::function<void()> bring_forward) override {
        second_start = std::move(bring_forward);
    }
    bool tray_host_present() override { return tray_host; }
    bool ask(const std::string&, const std::string& question, const std::string&,
             const std::string&) override {
        questions.push_back(question);
        return answer;
    }
    void notify(const std::string& title, const std::string&) override {
        notifications.push_back(title);
    }
    std::shared_ptr<platform::PageWindow> create_window(const platform::WindowOptions& o,
                                                        platform::BridgeHandler b,
                                                        std::function<bool()> c) override {
        options = o;
        bridge = std::move(b);
        on_closing = std::move(c);
        return window;
    }
    // A page call as the window makes it, waited for (at most 10 s).
    std::optional<nlohmann::json> call_bridge(const std::string& op, const nlohmann::json& args) {
        auto answer = std::make_shared<std::promise<std::optional<nlohmann::json>>>();
        auto result = answer->get_future();
        bridge(op, args, [answer](std::optional<nlohmann::json> r) { answer->set_value(r); });
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << op << " never answered";
            return std::nullopt;
        }
        return result.get();
    }
    void run_event_loop() override {
        std::this_thread::sleep_for(loop_time);
        if (during_loop) during_loop();
    }
    void apply_dark_titlebar(const std::string& title) override {
        std::lock_guard lock(m_lock);
        titlebar_requests.push_back(title);
    }
    std::shared_ptr<platform::TrayIcon> create_tray(const std::string& n,
                                                    const std::optional<fs::path>& i,
                                                    const std::string& t,
                                                    std::vector<platform::TrayItem> its,
                                                    unsigned rgb) override {
        tray_name = n;
        tray_icon = i;
        tray_title = t;
        items = std::move(its);
        fallback = rgb;
        return tray;
    }
    std::optional<std::vector<fs::path>> pick_files(
        const std::string&, const std::vector<platform::FileFilter>&, bool, std::chrono::seconds,
        const std::optional<platform::PickStart>&) override {
        return std::nullopt;
    }
    std::optional<fs::path> pick_folder(const std::string& title, std::chrono::seconds limit,
                                        const std::optional<fs::path>& initial) override {
        std::lock_guard lock(m_lock);
        folder_requests.push_back({title, limit, initial});
        return folder_answer;
    }
    std::optional<std::string> read_clipboard(std::chrono::seconds limit) override {
        std::lock_guard lock(m_lock);
        clipboard_limits.push_back(limit);
        if (clipboard_fails) throw std::runtime_error("no display");
        return clipboard;
    }
    // Every address that got past the desktop's own check, in order.
    std::vector<std::string> launched() {
        std::lock_guard lock(m_lock);
        return launched_urls;
    }
    // Every folder that got past the desktop's own check, in order.
    std::vector<fs::path> folders_shown() {
        std::lock_guard lock(m_lock);
        return launched_folders;
    }
    bool launch_answer = true;  // what the "browser" (and the file manager) says

    std::vector<std::string> titlebar() {
        std::lock_guard lock(m_lock);
        return titlebar_requests;
    }

    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<FakeTray> tray = std::make_shared<FakeTray>();
    platform::WindowOptions options;
    platform::BridgeHandler bridge;
    std::function<bool()> on_closing;
    std::function<void()> during_loop;
    std::function<void()> second_start;
    bool tray_host = true;
    bool answer = false;  // to every question
    // Asked and sent from the window's thread (the closing handler), read after it.
    std::vector<std::string> questions;
    std::vector<std::string> notifications;
    std::chrono::milliseconds loop_time{0};
    std::string tray_name, tray_title;
    std::optional<fs::path> tray_icon;
    std::vector<platform::TrayItem> items;
    unsigned fallback = 0;

    struct FolderRequest {
        std::string title;
        std::chrono::seconds limit;
        std::optional<fs::path> initial;
    };
    std::vector<FolderRequest> folders() {
        std::lock_guard lock(m_lock);
        return folder_requests;
    }
    std::vector<std::chrono::seconds> clipboard_reads() {
        std::lock_guard lock(m_lock);
        return clipboard_limits;
    }

    // Answers, set before the application asks.
    std::optional<fs::path> folder_answer;
    std::optional<std::string> clipboard;
    bool clipboard_fails = false;

protected:
    bool launch_url(const std::string& url) override {
        std::lock_guard lock(m_lock);
        launched_urls.push_back(url);
        return launch_answer;
    }

    bool launch_folder(const fs::path& folder) override {
        std::lock_guard lock(m_lock);
        launched_folders.push_back(folder);
        return launch_answer;
    }

private:
    std::vector<fs::path> launched_folders;
    std::vector<std::string> launched_urls;
    std::vector<FolderRequest> folder_requests;
    std::vector<std::chrono::seconds> clipboard_limits;
    std::mutex m_lock;
    std::vector<std::string> titlebar_requests;
};

}  // namespace termiva::testing
