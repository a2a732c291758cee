#include "platform/linux/gtk/gtk_page_window.h"

#include <exception>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/linux/gtk/file_drop.h"
#include "platform/linux/gtk/gtk_dialogs.h"
#include "platform/linux/gtk/main_thread.h"
#include "platform/linux/gtk/page_call.h"
#include "platform/log.h"

namespace termiva::platform::gtk {

namespace {

using ScriptReply = BoxedRef<WebKitScriptMessageReply, webkit_script_message_reply_ref,
                             webkit_script_message_reply_unref>;

// The name the page posts to: window.webkit.messageHandlers.termiva.
constexpr const char* BRIDGE_CHANNEL = "termiva";

std::string message_text(JSCValue* value) {
    if (jsc_value_is_string(value)) {
        char* text = jsc_value_to_string(value);
        std::string out = text ? text : "";
        g_free(text);
        return out;
    }
    char* json = jsc_value_to_json(value, 0);
    std::string out = json ? json : "";
    g_free(json);
    return out;
}

// Answers the page's promise; main thread only.
void return_answer(const ScriptReply& reply, const GObjectRef<JSCContext>& context,
                   const std::string& answer) {
    auto value = GObjectRef<JSCValue>::adopt(jsc_value_new_string(context.get(), answer.c_str()));
    webkit_script_message_reply_return_value(reply.get(), value.get());
}

GdkRGBA parse_colour(const std::string& text) {
    GdkRGBA rgba{0.051, 0.059, 0.078, 1.0};  // #0d0f14 when the text does not parse
    GdkRGBA parsed;
    if (gdk_rgba_parse(&parsed, text.c_str())) rgba = parsed;
    return rgba;
}

// The colour shows before the page paints and around it while the window resizes.
void paint_background(GtkWidget* window, const GdkRGBA& colour) {
    char* colour_text = gdk_rgba_to_string(&colour);
    std::string rule = std::string("window { background-color: ") + colour_text + "; }";
    g_free(colour_text);
    auto css = GObjectRef<GtkCssProvider>::adopt(gtk_css_provider_new());
    gtk_css_provider_load_from_data(css.get(), rule.c_str(), -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window),
                                   GTK_STYLE_PROVIDER(css.get()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// Shortened for a log line: an address can be long and is only there to recognise it.
std::string loggable(const std::string& uri) {
    return uri.size() > 200 ? uri.substr(0, 200) + "..." : uri;
}

const char* uri_of(WebKitNavigationAction* action) {
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    return uri ? uri : "";
}

// A link the user followed (or a window the page asked for with a click) goes to the
// desktop, which opens it only when its address is safe there; anything else goes nowhere.
void hand_to_desktop(WebKitNavigationAction* action, const std::string& uri,
                     const GtkPageWindow::LinkOpener& open_link) {
    if (!webkit_navigation_action_is_user_gesture(action)) {
        termiva::log::warn("window", "navigation without a user gesture refused: " + loggable(uri));
        return;
    }
    if (!open_link || !open_link(uri)) {
        termiva::log::warn("window", "link not opened: " + loggable(uri));
    }
}

}  // namespace

void InFlightCalls::begin() {
    std::lock_guard lock(m_lock);
    ++m_count;
}

void InFlightCalls::end() {
    {
        std::lock_guard lock(m_lock);
        --m_count;
    }
    m_idle.notify_all();
}

bool InFlightCalls::wait_idle(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_lock);
    return m_idle.wait_for(lock, limit, [&] { return m_count == 0; });
}

namespace {

// A blinking caret is the only thing that keeps an idle page drawing: a focused field (the
// terminal's hidden input is one whenever a tab has the focus) repaints at every blink, and
// each repaint keeps WebKit's frame clock running for a while after it, so ten idle tabs
// woke the window ~50 times a second. The terminal draws its own cursor (which blinks only
// for a while after activity), so the native caret may stand still: it is shown, and
// changes every 12 hours (half the blink time). Turning "gtk-cursor-blink" off instead
// made the idle window wake more often, not less. Set before the web process starts,
// which takes the window's settings.
void keep_carets_still() {
    constexpr gint kOneDayMs = 24 * 60 * 60 * 1000;
    if (GtkSettings* settings = gtk_settings_get_default())
        g_object_set(settings, "gtk-cursor-blink-time", kOneDayMs, nullptr);
}

// The page is dark; the drop-down lists of its <select> fields are GTK menus that follow
// the GTK theme, so they ask for its dark variant instead of opening light on the page.
void prefer_dark_menus() {
    if (GtkSettings* settings = gtk_settings_get_default())
        g_object_set(settings, "gtk-application-prefer-dark-theme", TRUE, nullptr);
}

}  // namespace

GtkPageWindow::GtkPageWindow(BridgeHandler bridge, std::function<bool()> on_closing,
                             std::shared_ptr<InFlightCalls> calls,
                             std::function<void()> on_destroyed, LinkOpener open_link)
    : m_bridge(std::make_shared<const BridgeHandler>(std::move(bridge))),
      m_on_closing(std::move(on_closing)),
      m_calls(std::move(calls)),
      m_on_destroyed(std::move(on_destroyed)),
      m_open_link(std::move(open_link)) {}

std::shared_ptr<GtkPageWindow> GtkPageWindow::create(const WindowOptions& options,
                                                     BridgeHandler bridge,
                                                     std::function<bool()> on_closing,
                                                     std::shared_ptr<InFlightCalls> calls,
                                                     std::function<void()> on_destroyed,
                                                     LinkOpener open_link) {
    std::shared_ptr<GtkPageWindow> window(
        new GtkPageWindow(std::move(bridge), std::move(on_closing), std::move(calls),
                          std::move(on_destroyed), std::move(open_link)));
    window->build(options);
    return window;
}

void GtkPageWindow::build(const WindowOptions& options) {
    m_title = options.title;
    keep_carets_still();
    prefer_dark_menus();

    // Persistent storage (local storage, IndexedDB, cache) lives in one folder of ours.
    std::string data_dir = options.storage_dir.string();
    std::string cache_dir = (options.storage_dir / "cache").string();
    GObjectRef<WebKitWebsiteDataManager> data_manager;
    if (options.private_mode || options.storage_dir.empty()) {
        data_manager = GObjectRef<WebKitWebsiteDataManager>::adopt(
            webkit_website_data_manager_new_ephemeral());
    } else {
        data_manager = GObjectRef<WebKitWebsiteDataManager>::adopt(
            webkit_website_data_manager_new("base-data-directory", data_dir.c_str(),
                                            "base-cache-directory", cache_dir.c_str(), nullptr));
    }
    auto context = GObjectRef<WebKitWebContext>::adopt(
        webkit_web_context_new_with_website_data_manager(data_manager.get()));
    // One local page and no browsing: the smallest caches WebKit offers are all it needs.
    webkit_web_context_set_cache_model(context.get(), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);

    m_content = GObjectRef<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    webkit_user_content_manager_register_script_message_handler_with_reply(m_content.get(),
                                                                           BRIDGE_CHANNEL, nullptr);
    g_signal_connect(m_content.get(), "script-message-with-reply-received::termiva",
                     G_CALLBACK(on_script_message), this);

    m_view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(),
                                          "user-content-manager", m_content.get(), nullptr));
    WebKitSettings* settings = webkit_web_view_get_settings(m_view);
    // The page reads nothing through file URLs: its scripts and styles load as parts of
    // the page, and no script of it may read other files of the machine.
    webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_javascript_can_access_clipboard(settings, TRUE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    // Accelerated compositing kept a focused terminal's caret repainting through an extra
    // compositing pass (3.5 % of a core while idle, 300 MB with ten tabs); a page of text
    // needs none of it (0.8 %, 160 MB).
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    GdkRGBA background = parse_colour(options.background);
    webkit_web_view_set_background_color(m_view, &background);
    g_signal_connect(m_view, "context-menu", G_CALLBACK(on_context_menu), this);
    // The view only ever shows our page: every navigation (a link, a script changing
    // window.location, a file dropped onto the window) is decided here.
    g_signal_connect(m_view, "decide-policy", G_CALLBACK(on_decide_policy), this);
    g_signal_connect(m_view, "load-changed", G_CALLBACK(on_load_changed), this);
    WebKitWebView* view = m_view;
    relay_file_drops(view, [view](const std::string& script) {
        webkit_web_view_evaluate_javascript(view, script.c_str(),
                                            static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    });

    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(m_window), options.title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(m_window), options.width, options.height);
    gtk_window_set_resizable(GTK_WINDOW(m_window), options.resizable ? TRUE : FALSE);
    GdkGeometry hints{};
    hints.min_width = options.min_width;
    hints.min_height = options.min_height;
    gtk_window_set_geometry_hints(GTK_WINDOW(m_window), nullptr, &hints, GDK_HINT_MIN_SIZE);
    paint_background(m_window, background);
    if (options.icon) {
        GErrorHolder error;
        if (!gtk_window_set_icon_from_file(GTK_WINDOW(m_window), options.icon->c_str(),
                                           error.out())) {
            termiva::log::warn("window", std::string("icon not loaded: ") + error.message());
        }
    }
    gtk_container_add(GTK_CONTAINER(m_window), GTK_WIDGET(m_view));
    g_signal_connect(m_window, "delete-event", G_CALLBACK(on_delete_event), this);
    g_signal_connect(m_window, "destroy", G_CALLBACK(on_destroy), this);

    std::string base = options.html_base.empty() ? std::string() : options.html_base.string();
    char* base_uri =
        base.empty() ? nullptr : g_filename_to_uri((base + "/").c_str(), nullptr, nullptr);
    m_page_uri = base_uri ? base_uri : "about:blank";
    webkit_web_view_load_html(m_view, options.html.c_str(), base_uri);
    g_free(base_uri);
}

bool GtkPageWindow::is_own_page(const char* uri) const {
    if (!uri) return false;
    std::string_view address(uri);
    if (auto hash = address.find('#'); hash != std::string_view::npos)
        address = address.substr(0, hash);
    return address == m_page_uri;
}

gboolean GtkPageWindow::on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                                         WebKitPolicyDecisionType type, gpointer self) {
    auto* window = static_cast<GtkPageWindow*>(self);
    switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION: {
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(
                    WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            const std::string uri = uri_of(action);
            if (window->is_own_page(uri.c_str())) {
                webkit_policy_decision_use(decision);
                return TRUE;
            }
            webkit_policy_decision_ignore(decision);
            if (webkit_navigation_action_get_navigation_type(action) ==
                WEBKIT_NAVIGATION_TYPE_LINK_CLICKED) {
                hand_to_desktop(action, uri, window->m_open_link);
            } else {
                termiva::log::warn("window",
                                   "navigation away from the page refused: " + loggable(uri));
            }
            return TRUE;
        }
        case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION: {
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(
                    WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            const std::string uri = uri_of(action);
            webkit_policy_decision_ignore(decision);
            hand_to_desktop(action, uri, window->m_open_link);
            return TRUE;
        }
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE: {
            // A response never becomes a page or a download unless it is our page itself.
            auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
            WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
            const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
            if (window->is_own_page(uri)) {
                webkit_policy_decision_use(decision);
            } else {
                termiva::log::warn(
                    "window", "response for another page refused: " + loggable(uri ? uri : ""));
                webkit_policy_decision_ignore(decision);
            }
            return TRUE;
        }
        default:
            webkit_policy_decision_ignore(decision);
            return TRUE;
    }
}

void GtkPageWindow::on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
    if (event != WEBKIT_LOAD_COMMITTED) return;
    auto* window = static_cast<GtkPageWindow*>(self);
    const char* uri = webkit_web_view_get_uri(view);
    window->m_showing_page = window->is_own_page(uri);
    if (!window->m_showing_page)
        termiva::log::error("window", std::string("the view shows another page: ") +
                                          loggable(uri ? uri : "") +
                                          "; the bridge is closed to it");
}

GtkPageWindow::~GtkPageWindow() {
    if (m_content) g_signal_handlers_disconnect_by_data(m_content.get(), this);
    if (m_window) {
        g_signal_handlers_disconnect_by_data(m_view, this);
        g_signal_handlers_disconnect_by_data(m_window, this);
        gtk_widget_destroy(m_window);
    }
}

void GtkPageWindow::present_first_time() {
    if (!m_window || m_shown_once) return;
    m_shown_once = true;
    gtk_widget_show_all(m_window);
}

void GtkPageWindow::evaluate_script(const std::string& script) {
    std::weak_ptr<GtkPageWindow> weak = weak_from_this();
    post_to_main([weak, script] {
        auto self = weak.lock();
        if (!self || !self->m_view) return;
        webkit_web_view_evaluate_javascript(self->m_view, script.c_str(),
                                            static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    });
}

namespace {

// How a call the main thread waits for stands; shared with the callbacks that outlive it.
struct AwaitedCall {
    bool settled = false;
    bool timed_out = false;
};
using AwaitedRef = std::shared_ptr<AwaitedCall>;

void call_settled(GObject* view, GAsyncResult* result, gpointer data) {
    std::unique_ptr<AwaitedRef> call(static_cast<AwaitedRef*>(data));
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(view),
                                                                            result, &error);
    if (value) g_object_unref(value);
    if (error) {
        termiva::log::warn("window", std::string("page call before quitting: ") + error->message);
        g_error_free(error);
    }
    (*call)->settled = true;
}

gboolean call_timed_out(gpointer data) {
    (*static_cast<AwaitedRef*>(data))->timed_out = true;
    return G_SOURCE_REMOVE;
}

void forget_call(gpointer data) {
    delete static_cast<AwaitedRef*>(data);
}

}  // namespace

void GtkPageWindow::call_and_wait(const std::string& function, std::chrono::milliseconds limit) {
    if (!on_main_thread()) {
        auto done = std::make_shared<Completion<bool>>();
        std::weak_ptr<GtkPageWindow> weak = weak_from_this();
        post_to_main([weak, function, limit, done] {
            if (auto self = weak.lock()) self->call_and_wait(function, limit);
            done->set(true);
        });
        done->wait(limit + std::chrono::seconds(1));
        return;
    }
    if (!m_view || !m_showing_page) return;
    auto call = std::make_shared<AwaitedCall>();
    const std::string body = "return window." + function + " ? " + function + "() : null;";
    webkit_web_view_call_async_javascript_function(m_view, body.c_str(), -1, nullptr, nullptr,
                                                   nullptr, nullptr, call_settled,
                                                   new AwaitedRef(call));
    const guint timer = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(limit.count()),
                                           call_timed_out, new AwaitedRef(call), forget_call);
    // Nested: the page's calls to the program, and their answers, come through this loop.
    while (!call->settled && !call->timed_out)
        g_main_context_iteration(nullptr, TRUE);
    if (call->timed_out) {
        termiva::log::warn("window", function + " did not finish before quitting");
    } else {
        g_source_remove(timer);
    }
}

void GtkPageWindow::show() {
    std::weak_ptr<GtkPageWindow> weak = weak_from_this();
    auto task = [weak] {
        auto self = weak.lock();
        if (!self || !self->m_window) return;
        self->m_shown_once = true;
        gtk_widget_show_all(self->m_window);
        gtk_window_present(GTK_WINDOW(self->m_window));
    };
    if (on_main_thread()) {
        task();
    } else {
        post_to_main(task);
    }
}

void GtkPageWindow::hide() {
    std::weak_ptr<GtkPageWindow> weak = weak_from_this();
    auto task = [weak] {
        auto self = weak.lock();
        if (self && self->m_window) gtk_widget_hide(self->m_window);
    };
    if (on_main_thread()) {
        task();
    } else {
        post_to_main(task);
    }
}

void GtkPageWindow::destroy() {
    std::weak_ptr<GtkPageWindow> weak = weak_from_this();
    auto task = [weak] {
        auto self = weak.lock();
        if (self && self->m_window) gtk_widget_destroy(self->m_window);
    };
    if (on_main_thread()) {
        task();
    } else {
        post_to_main(task);
    }
}

gboolean GtkPageWindow::on_delete_event(GtkWidget*, GdkEvent*, gpointer self) {
    auto* window = static_cast<GtkPageWindow*>(self);
    try {
        bool allow = !window->m_on_closing || window->m_on_closing();
        return allow ? FALSE : TRUE;
    } catch (const std::exception& e) {
        termiva::log::error("window", std::string("closing handler failed: ") + e.what());
    } catch (...) {
        termiva::log::error("window", "closing handler failed");
    }
    return TRUE;  // keep the window when the handler could not decide
}

void GtkPageWindow::on_destroy(GtkWidget*, gpointer self) {
    auto* window = static_cast<GtkPageWindow*>(self);
    window->m_window = nullptr;
    window->m_view = nullptr;
    if (!window->m_on_destroyed) return;
    try {
        window->m_on_destroyed();
    } catch (...) {
        termiva::log::error("window", "destroy handler failed");
    }
}

gboolean GtkPageWindow::on_context_menu(WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                        WebKitHitTestResult*, gpointer) {
    return TRUE;  // the browser's own menu (reload, inspect) has no place in the program
}

gboolean GtkPageWindow::on_script_message(WebKitUserContentManager*, JSCValue* value,
                                          WebKitScriptMessageReply* reply, gpointer self) {
    auto* window = static_cast<GtkPageWindow*>(self);
    if (!window->m_showing_page || !window->m_view ||
        !window->is_own_page(webkit_web_view_get_uri(window->m_view))) {
        termiva::log::warn("bridge", "page call from a page that is not the program's refused");
        webkit_script_message_reply_return_error_message(reply, "not the program's page");
        return TRUE;
    }
    try {
        window->start_page_call(value, reply);
    } catch (...) {
        termiva::log::error("bridge", "page call not started");
        webkit_script_message_reply_return_error_message(reply, "page call not started");
    }
    return TRUE;
}

void GtkPageWindow::start_page_call(JSCValue* value, WebKitScriptMessageReply* reply) {
    auto reply_ref = ScriptReply::share(reply);
    auto context = GObjectRef<JSCContext>::share(jsc_value_get_context(value));
    std::string message = message_text(value);
    // Calls may block for minutes (file pickers): the bridge runs them on its workers and
    // the answer travels back to the main thread, where the page's promise is resolved.
    m_calls->begin();
    gtk::start_page_call(
        *m_bridge, message, [calls = m_calls, reply_ref, context](std::string answer) mutable {
            try {
                post_to_main(
                    [reply_ref = std::move(reply_ref), context = std::move(context),
                     answer = std::move(answer)] { return_answer(reply_ref, context, answer); });
            } catch (...) {
                termiva::log::error("bridge", "answer lost");
            }
            calls->end();
        });
}

}  // namespace termiva::platform::gtk
