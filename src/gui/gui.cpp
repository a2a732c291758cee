#include "gui/gui.h"

#include <execinfo.h>
#include <unistd.h>

#include <exception>
#include <iostream>

#include "app/termiva_app.h"
#include "platform/broken_pipes.h"
#include "platform/linux/gtk/gtk_desktop.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace termiva {

namespace {

// The program's identity on the desktop: the shell's application id on Windows, and the
// name the one running instance holds (a D-Bus name on Linux).
constexpr const char* APP_ID = "lanternfold.termiva.client";
constexpr const char* NO_DISPLAY_LINE =
    "cannot open a display; set DISPLAY, or use termiva-host for the headless program";

void write_stack_trace() {
    void* frames[64];
    int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, STDOUT_FILENO);
}

}  // namespace

void GUI(std::shared_ptr<QueueAll> Queue_All_variable,
         std::shared_ptr<EventAll> Event_All_variable) {
    platform::ignore_broken_pipes();
    // The launcher's start line, not a diagnostic: it keeps its plain form on standard output.
    try {
        std::cout << "run model --> " << platform::module_file_name() << std::endl;
    } catch (...) {
        // No name for the module, or no standard output: the program starts all the same.
    }
    try {
        auto desktop = platform::gtk::make_gtk_desktop();
        desktop->set_app_identity(APP_ID);
        // Before the data folder is touched: two programs on one folder would each write
        // sessions.json over the other's.
        const platform::InstanceClaim claim = desktop->claim_instance(APP_ID);
        if (claim.role == platform::InstanceClaim::Role::already_running) {
            log::info("GUI", "already running: its window was brought forward");
            return;
        }
        if (claim.role == platform::InstanceClaim::Role::unavailable) {
            log::warn("GUI", "cannot make sure this is the only Termiva running (" + claim.reason +
                                 "); starting anyway");
        }
        TermivaApp app(std::move(Queue_All_variable), std::move(Event_All_variable));
        app.set_desktop(desktop);
        app.run();
    } catch (const platform::NoDisplayError&) {
        // Said to the person who started the program, in their words, not as a diagnostic:
        // nothing is wrong with the program, so no fatal line and no stack trace.
        std::cerr << NO_DISPLAY_LINE << std::endl;
        throw;
    } catch (const std::exception& e) {
        log::error("GUI", std::string("fatal: ") + e.what());
        write_stack_trace();
        throw;
    }
}

}  // namespace termiva
