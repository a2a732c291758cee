// A tray host's watcher on a test's session bus: owns org.kde.StatusNotifierWatcher and
// takes the items that register, as a panel showing tray icons does. Without it the bus
// has no tray host.
#pragma once

#include <atomic>
#include <future>
#include <string>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace termiva::testing {

class TrayWatcher {
public:
    // Connects to the bus at `address` and takes the watcher's name; error() says why
    // when serving() is false.
    explicit TrayWatcher(const std::string& address);
    ~TrayWatcher();
    TrayWatcher(const TrayWatcher&) = delete;
    TrayWatcher& operator=(const TrayWatcher&) = delete;

    bool serving() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    // How many items registered with it so far.
    int items() const { return m_items.load(); }

private:
    void serve(const std::string& address, std::promise<std::string> started);

    GMainContext* m_context = nullptr;
    GMainLoop* m_loop = nullptr;
    std::atomic<int> m_items{0};
    std::string m_error;
    std::thread m_thread;
};

}  // namespace termiva::testing
