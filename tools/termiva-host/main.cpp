// termiva-host: the application without a window, driven by JSON lines.
//   options: --data-dir DIR, --no-reachability (no probing of the saved sessions)
//   stdin:  {"id":1,"op":"connect_session","args":["…"]}   ($receipt, $quit are the launcher's)
//   stdout: {"id":1,"result":…} or {"id":1,"error":"…"}, and {"call":…,"args":[…]} for every
//           call into the page, in the order it was made.
// The program's own diagnostics go to stderr; stdout carries only the protocol.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/termiva_app.h"
#include "host_window.h"
#include "platform/bounded_json.h"
#include "platform/broken_pipes.h"
#include "platform/log.h"

using termiva::Json;

namespace {

std::optional<std::filesystem::path> parse_data_dir(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data-dir") == 0 && i + 1 < argc) return argv[i + 1];
        if (std::strncmp(argv[i], "--data-dir=", 11) == 0) return argv[i] + 11;
    }
    return std::nullopt;
}

bool has_flag(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    termiva::platform::ignore_broken_pipes();
    // Keep the original stdout for the protocol; everything else printed goes to stderr.
    int protocol_fd = ::dup(STDOUT_FILENO);
    // A large drain answer is megabytes: a roomier pipe takes it in fewer hand-overs
    // between this process and its reader. Not a pipe, or no room to give: no matter.
    ::fcntl(protocol_fd, F_SETPIPE_SZ, 1 << 20);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    std::FILE* protocol = ::fdopen(protocol_fd, "w");
    if (!protocol) return 1;
    termiva::host::LineWriter out(protocol);

    auto queues = std::make_shared<termiva::QueueAll>();
    (*queues)["get_receipt"] = std::make_shared<termiva::MessageQueue>();
    (*queues)["end"] = std::make_shared<termiva::MessageQueue>();
    auto events = std::make_shared<termiva::EventAll>();
    (*events)["end"] = std::make_shared<termiva::Event>();

    std::unique_ptr<termiva::TermivaApp> app;
    try {
        app = std::make_unique<termiva::TermivaApp>(queues, events, parse_data_dir(argc, argv));
    } catch (const std::exception& e) {
        termiva::log::error("host", std::string("fatal: ") + e.what());
        return 1;
    }
    app->set_window(std::make_shared<termiva::host::HostWindow>(out));
    // The raw pointer, not the unique_ptr: main resets that while the poll thread ends.
    termiva::TermivaApp* target = app.get();
    app->_spawn([target] { target->_poll_queue(); });
    // Tests that count the page calls, or want the dots only from their own receipts,
    // turn the program's reachability prober off.
    if (has_flag(argc, argv, "--no-reachability")) {
        app->reachability().set_enabled(false);
    } else {
        app->_spawn([target] { target->_run_reachability(); });
    }

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        Json msg = termiva::platform::parse_json_bounded(line, false);
        if (msg.is_discarded() || !msg.is_object() || !msg.contains("op") ||
            !msg["op"].is_string()) {
            Json id = msg.is_object() && msg.contains("id") ? msg["id"] : Json();
            out.write(Json{{"id", id}, {"error", "malformed request"}});
            continue;
        }
        Json id = msg.value("id", Json());
        std::string op = msg["op"].get<std::string>();
        Json args = msg.value("args", Json::array());
        if (op == "$quit") {
            app->_shutdown();
            out.write(Json{{"id", id}, {"result", true}});
            break;
        }
        if (op == "$receipt") {
            bool ok = args.is_array() && !args.empty();
            if (ok) (*queues)["get_receipt"]->put(args[0]);
            out.write(Json{{"id", id}, {"result", ok}});
            continue;
        }
        // Each call runs on a bridge worker, as in the window: a slow call never holds up
        // others, and one tab's keystrokes keep their order.
        app->call_bridge_async(op, args, [&out, id, op](std::optional<Json> result) {
            if (result) {
                Json answer = Json::object();  // built in place: a result can be megabytes
                answer["id"] = id;
                answer["result"] = std::move(*result);
                out.write(answer);
            } else {
                out.write(Json{{"id", id}, {"error", "unknown operation: " + op}});
            }
        });
    }
    app.reset();  // shuts down and waits for the background threads
    std::fflush(protocol);
    return 0;
}
