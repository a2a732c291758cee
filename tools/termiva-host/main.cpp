// termiva-host: the application without a window, driven by JSON lines.
//   options: --data-dir DIR, --no-reachability (no probing of the saved sessions)
//   stdin:  {"id":1,"op":"connect_session","args":["…"]}   ($receipt, $quit are the launcher's)
//   stdout: {"id":1,"result":…} or {"id":1,"error":"…"}, and {"call":…,"args":[…]} for every
//           call into the page, in the order it was made.
// The program's own diagnostics go to stderr; stdout carries only the protocol.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/termiva_app.h"
#include "host_window.h"
#include "platform/bounded_json.h"
#include "platform/broken_pipes.h"
#include "platform/log.h"
#include "platform/standard_streams.h"
#include "platform/utf8_path.h"

using termiva::Json;

namespace {

std::optional<std::filesystem::path> parse_data_dir(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--data-dir" && i + 1 < args.size())
            return termiva::platform::path_from_utf8(args[i + 1]);
        if (args[i].rfind("--data-dir=", 0) == 0)
            return termiva::platform::path_from_utf8(args[i].substr(11));
    }
    return std::nullopt;
}

// Capacity of the input line kept for the next one.
constexpr std::size_t LINE_KEPT = std::size_t{1} << 20;

bool has_flag(const std::vector<std::string>& args, const std::string& flag) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == flag) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    termiva::platform::ignore_broken_pipes();
    const std::vector<std::string> args = termiva::platform::utf8_arguments(argc, argv);
    termiva::platform::binary_standard_input();
    // Standard input is read through std::cin alone: unsynchronised with C's streams, a
    // line of megabytes (a paste, a large record) is read in blocks, not a byte at a time.
    std::ios::sync_with_stdio(false);
    // Keep the original stdout for the protocol; everything else printed goes to stderr.
    std::FILE* protocol = termiva::platform::take_standard_output();
    if (!protocol) return 1;
    termiva::host::LineWriter out(protocol);

    auto queues = std::make_shared<termiva::QueueAll>();
    (*queues)["get_receipt"] = std::make_shared<termiva::MessageQueue>();
    (*queues)["end"] = std::make_shared<termiva::MessageQueue>();
    auto events = std::make_shared<termiva::EventAll>();
    (*events)["end"] = std::make_shared<termiva::Event>();

    std::unique_ptr<termiva::TermivaApp> app;
    try {
        app = std::make_unique<termiva::TermivaApp>(queues, events, parse_data_dir(args));
    } catch (const std::exception& e) {
        termiva::log::error("host", std::string("fatal: ") + e.what());
        return 1;
    }
    app->set_window(std::make_shared<termiva::host::HostWindow>(out));
    // Tests that count the page calls, or want the dots only from their own receipts,
    // turn the program's reachability prober off.
    const bool reachability = !has_flag(args, "--no-reachability");
    if (!reachability) app->reachability().set_enabled(false);
    app->start_background(reachability);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        Json msg = termiva::platform::parse_json_bounded(line, false);
        // A paste's line is megabytes: its text lives on in `msg`, so the line need not.
        if (line.capacity() > LINE_KEPT) std::string().swap(line);
        if (msg.is_discarded() || !msg.is_object() || !msg.contains("op") ||
            !msg["op"].is_string()) {
            Json id = msg.is_object() && msg.contains("id") ? msg["id"] : Json();
            out.write(Json{{"id", id}, {"error", "malformed request"}});
            continue;
        }
        Json id = msg.value("id", Json());
        std::string op = msg["op"].get<std::string>();
        Json op_args = msg.contains("args") ? std::move(msg["args"]) : Json::array();
        if (op == "$quit") {
            app->_shutdown();
            out.write(Json{{"id", id}, {"result", true}});
            break;
        }
        if (op == "$receipt") {
            bool ok = op_args.is_array() && !op_args.empty();
            if (ok) (*queues)["get_receipt"]->put(op_args[0]);
            out.write(Json{{"id", id}, {"result", ok}});
            continue;
        }
        // Each call runs on a bridge worker, as in the window: a slow call never holds up
        // others, and one tab's keystrokes keep their order.
        app->call_bridge_async(op, std::move(op_args), [&out, id, op](std::optional<Json> result) {
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
