// The program's one instance per user on Linux: GApplication's name on the session bus.
// A later start activates the first and leaves; the first brings its window forward.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

class AppInstance {
public:
    AppInstance() = default;
    ~AppInstance();
    AppInstance(const AppInstance&) = delete;
    AppInstance& operator=(const AppInstance&) = delete;

    // Registers `app_id` on the session bus; when another process holds it, asks that one
    // to come forward (the request is on the bus when this returns). Window's thread.
    InstanceClaim claim(const std::string& app_id);
    // Window's thread.
    void on_activate(std::function<void()> bring_forward);
    // Through the desktop's notification service, when this is the registered instance.
    void notify(const std::string& title, const std::string& body);

private:
    static void on_activate_signal(GApplication*, void* self);

    GApplication* m_app = nullptr;
    bool m_first = false;
    std::function<void()> m_bring_forward;
};

}  // namespace termiva::platform::gtk
