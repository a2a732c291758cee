#include "platform/linux/gtk/gtk_dialogs.h"

#include <gtk/gtk.h>

#include <memory>
#include <stdexcept>
#include <utility>

#include "platform/linux/gtk/gobject_ref.h"
#include "platform/linux/gtk/gtk_file_filter.h"
#include "platform/linux/gtk/main_thread.h"
#include "platform/log.h"

namespace termiva::platform::gtk {

namespace {

using Paths = std::vector<std::filesystem::path>;

// One open chooser: the widget lives on the main thread, the answer crosses threads.
struct ChooserRun {
    Completion<std::optional<Paths>> answer;
    GtkWidget* dialog = nullptr;  // main thread only
};

void on_chooser_response(GtkDialog* dialog, gint response, gpointer data) {
    auto& run = **static_cast<std::shared_ptr<ChooserRun>*>(data);
    std::optional<Paths> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        Paths paths;
        GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
        for (GSList* f = files; f; f = f->next) {
            paths.emplace_back(static_cast<char*>(f->data));
            g_free(f->data);
        }
        g_slist_free(files);
        if (!paths.empty()) chosen = std::move(paths);
    }
    run.answer.set(std::move(chosen));
    run.dialog = nullptr;
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void free_run(gpointer data, GClosure*) {
    delete static_cast<std::shared_ptr<ChooserRun>*>(data);
}

// What a chooser asks for, copied into the task that builds it on the main thread.
struct ChooserRequest {
    std::string title;
    GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_OPEN;
    std::vector<FileFilter> filters;
    bool multiple = false;
    std::optional<std::filesystem::path> initial_folder;
    bool show_hidden = false;
};

// Main thread.
GtkWidget* build_chooser(const ChooserRequest& request) {
    const char* accept =
        request.action == GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER ? "_Select" : "_Open";
    GtkWidget* dialog =
        gtk_file_chooser_dialog_new(request.title.c_str(), nullptr, request.action, "_Cancel",
                                    GTK_RESPONSE_CANCEL, accept, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_select_multiple(chooser, request.multiple ? TRUE : FALSE);
    for (const auto& filter : request.filters) {
        gtk_file_chooser_add_filter(chooser, make_file_filter(filter));  // takes ownership
    }
    if (request.initial_folder) {
        gtk_file_chooser_set_current_folder(chooser, request.initial_folder->c_str());
    }
    gtk_file_chooser_set_show_hidden(chooser, request.show_hidden ? TRUE : FALSE);
    return dialog;
}

std::optional<Paths> run_chooser(ChooserRequest request, std::chrono::seconds limit) {
    if (on_main_thread()) {
        // The main loop must keep running while the user chooses: never wait on it.
        termiva::log::error("dialog", "refused on the window thread");
        return std::nullopt;
    }
    auto run = std::make_shared<ChooserRun>();
    post_to_main([run, request = std::move(request)] {
        GtkWidget* dialog = build_chooser(request);
        g_signal_connect_data(dialog, "response", G_CALLBACK(on_chooser_response),
                              new std::shared_ptr<ChooserRun>(run), free_run, GConnectFlags{});
        run->dialog = dialog;
        gtk_window_present(GTK_WINDOW(dialog));
    });
    auto answer = run->answer.wait(limit);
    if (!answer) {
        post_to_main([run] {
            if (run->dialog) gtk_widget_destroy(run->dialog);
            run->dialog = nullptr;
        });
        return std::nullopt;
    }
    return std::move(*answer);
}

using ClipboardAnswer = Completion<std::optional<std::string>>;

void on_clipboard_text(GtkClipboard*, const gchar* text, gpointer data) {
    std::unique_ptr<std::shared_ptr<ClipboardAnswer>> answer(
        static_cast<std::shared_ptr<ClipboardAnswer>*>(data));
    (*answer)->set(text ? std::optional<std::string>(text) : std::nullopt);
}

}  // namespace

std::optional<Paths> pick_files(const std::string& title, const std::vector<FileFilter>& filters,
                                bool multiple, std::chrono::seconds limit,
                                const std::optional<PickStart>& start) {
    ChooserRequest request{title, GTK_FILE_CHOOSER_ACTION_OPEN, filters, multiple, std::nullopt};
    std::error_code ec;
    if (start && std::filesystem::is_directory(start->folder, ec)) {
        request.initial_folder = start->folder;
        request.show_hidden = start->show_hidden;
    }
    return run_chooser(std::move(request), limit);
}

std::optional<std::filesystem::path> pick_folder(
    const std::string& title, std::chrono::seconds limit,
    const std::optional<std::filesystem::path>& initial) {
    std::optional<std::filesystem::path> folder;
    std::error_code ec;
    if (initial && std::filesystem::is_directory(*initial, ec)) folder = initial;
    auto chosen = run_chooser(
        {title, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, {}, false, std::move(folder), false}, limit);
    if (!chosen || chosen->empty()) return std::nullopt;
    return chosen->front();
}

std::optional<std::string> read_clipboard(std::chrono::seconds limit) {
    if (on_main_thread()) return std::nullopt;  // the answer needs the loop we would block
    auto answer = std::make_shared<ClipboardAnswer>();
    post_to_main([answer] {
        gtk_clipboard_request_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), on_clipboard_text,
                                   new std::shared_ptr<ClipboardAnswer>(answer));
    });
    auto text = answer->wait(limit);
    if (!text) return std::nullopt;
    return *text;
}

bool ask(const std::string& title, const std::string& question, const std::string& yes,
         const std::string& no) {
    if (!on_main_thread()) throw std::logic_error("a question is asked on the window's thread");
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                               GTK_BUTTONS_NONE, "%s", question.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_add_buttons(GTK_DIALOG(dialog), no.c_str(), GTK_RESPONSE_CANCEL, yes.c_str(),
                           GTK_RESPONSE_ACCEPT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return response == GTK_RESPONSE_ACCEPT;
}

}  // namespace termiva::platform::gtk
