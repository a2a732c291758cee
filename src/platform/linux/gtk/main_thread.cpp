#include "platform/linux/gtk/main_thread.h"
#include "platform/log.h"

#include <glib.h>

#include <atomic>
#include <exception>
#include <thread>

namespace termiva::platform::gtk {

namespace {

std::atomic<std::thread::id> g_main_thread{};

gboolean run_task(gpointer data) {
    auto* task = static_cast<std::function<void()>*>(data);
    try {
        (*task)();
    } catch (const std::exception& e) {
        termiva::log::error("gtk", std::string("main-loop task failed: ") + e.what());
    } catch (...) {
        termiva::log::error("gtk", "main-loop task failed");
    }
    return G_SOURCE_REMOVE;
}

void delete_task(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

}  // namespace

void mark_main_thread() {
    g_main_thread = std::this_thread::get_id();
}

bool on_main_thread() {
    return g_main_thread.load() == std::this_thread::get_id();
}

void post_to_main(std::function<void()> task) {
    // g_idle_add_full is safe from any thread and keeps sources of one priority in order.
    g_idle_add_full(G_PRIORITY_DEFAULT, run_task, new std::function<void()>(std::move(task)),
                    delete_task);
}

}  // namespace termiva::platform::gtk
