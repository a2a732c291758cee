// The page's window on GTK: a toplevel window holding a WebKitGTK web view, the bridge
// message handler and the closing handler.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/desktop.h"
#include "platform/linux/gtk/gobject_ref.h"

namespace termiva::platform::gtk {

// Counts page calls still running on worker threads, so the program can wait for them
// before the object they call into goes away.
class InFlightCalls {
public:
    void begin();
    void end();
    // True when none is left within `limit`.
    bool wait_idle(std::chrono::milliseconds limit);

private:
    std::mutex m_lock;
    std::condition_variable m_idle;
    int m_count = 0;
};

class GtkPageWindow : public PageWindow, public std::enable_shared_from_this<GtkPageWindow> {
public:
    // Opens a link the user followed outside the page (the desktop's checked open_url).
    using LinkOpener = std::function<bool(const std::string& url)>;

    // Main thread only. `on_destroyed` runs (on the main thread) once the window is gone.
    static std::shared_ptr<GtkPageWindow> create(const WindowOptions& options, BridgeHandler bridge,
                                                 std::function<bool()> on_closing,
                                                 std::shared_ptr<InFlightCalls> calls,
                                                 std::function<void()> on_destroyed,
                                                 LinkOpener open_link);
    ~GtkPageWindow() override;
    GtkPageWindow(const GtkPageWindow&) = delete;
    GtkPageWindow& operator=(const GtkPageWindow&) = delete;

    // Any thread.
    void evaluate_script(const std::string& script) override;
    // On the main thread the loop runs nested meanwhile; other threads wait for it.
    void call_and_wait(const std::string& function, std::chrono::milliseconds limit) override;
    void show() override;
    void hide() override;
    void destroy() override;

    // Main thread: shows the window the first time the loop runs.
    void present_first_time();
    bool alive() const { return m_window != nullptr; }
    const std::string& title() const { return m_title; }

private:
    GtkPageWindow(BridgeHandler bridge, std::function<bool()> on_closing,
                  std::shared_ptr<InFlightCalls> calls, std::function<void()> on_destroyed,
                  LinkOpener open_link);
    void build(const WindowOptions& options);
    void start_page_call(JSCValue* value, WebKitScriptMessageReply* reply);

    static gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer self);
    static void on_destroy(GtkWidget*, gpointer self);
    static gboolean on_script_message(WebKitUserContentManager*, JSCValue* value,
                                      WebKitScriptMessageReply* reply, gpointer self);
    static gboolean on_context_menu(WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                    WebKitHitTestResult*, gpointer);
    static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type, gpointer self);
    static void on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
    // The address is the program's own page (a fragment aside).
    bool is_own_page(const char* uri) const;

    // Shared with worker threads: the bridge and the counter of running calls.
    std::shared_ptr<const BridgeHandler> m_bridge;
    std::function<bool()> m_on_closing;
    std::shared_ptr<InFlightCalls> m_calls;
    std::function<void()> m_on_destroyed;
    LinkOpener m_open_link;
    std::string m_title;
    // Main-thread state. The toplevel belongs to GTK; null once it was destroyed.
    GtkWidget* m_window = nullptr;
    WebKitWebView* m_view = nullptr;
    GObjectRef<WebKitUserContentManager> m_content;
    bool m_shown_once = false;
    // The address the page is loaded under (its folder, as a file URL); the bridge
    // answers only while the view shows it.
    std::string m_page_uri;
    bool m_showing_page = false;
};

}  // namespace termiva::platform::gtk
