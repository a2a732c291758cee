// What large stores cost: a `sessions.json` with many sessions, and one whose single field
// is huge (a file edited by hand or written by another version: the page's own saves refuse
// a field over the limit). For each, the program's start (load and parse), the page's first
// call (`get_initial_state`), and one edit saved through the page's `save_session` (which
// writes the whole file), each timed once after a warm-up. Goal: well under a second each.
// Run it by hand: build/bench/session_store [SESSIONS] [FIELD_MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/termiva_app.h"

using namespace termiva;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Json ssh_session(std::size_t n) {
    return Json{{"id", "bench" + std::to_string(n)},
                {"name", "host " + std::to_string(n)},
                {"protocol", "ssh"},
                {"host", "10.0." + std::to_string(n / 256 % 256) + "." + std::to_string(n % 256)},
                {"port", 22},
                {"username", "admin"},
                {"group", "rack " + std::to_string(n / 40)},
                {"keepalive", 30}};
}

void measure(const char* what, const fs::path& dir, const Json& sessions) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string text = Json{{"sessions", sessions}}.dump(2);
    std::ofstream(dir / "sessions.json", std::ios::binary) << text;

    auto start = Clock::now();
    TermivaApp app(nullptr, nullptr, dir);
    const double load = seconds_since(start);

    start = Clock::now();
    const Json state = app.call_bridge("get_initial_state", Json::array()).value_or(Json());
    const double initial = seconds_since(start);

    // The last record is an ordinary one: a record holding a field over the page's limit is
    // refused, while the file around it is still written whole.
    Json edited = sessions.back();
    edited["name"] = "renamed";
    start = Clock::now();
    const Json answer = app.call_bridge("save_session", Json::array({edited})).value_or(Json());
    const double save = seconds_since(start);
    const bool saved =
        answer.contains("id") && !answer["id"].is_null() && !answer.contains("save_error");

    std::printf("%-32s file %6.1f MiB  start %6.3f s  get_initial_state %6.3f s  save %6.3f s%s\n",
                what, static_cast<double>(text.size()) / (1 << 20), load, initial, save,
                saved ? "" : "  (the save FAILED)");
    (void)state;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const std::size_t field_mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 50;
    const fs::path dir = fs::temp_directory_path() / "termiva-bench-store";

    Json many = Json::array();
    for (std::size_t n = 0; n < count; ++n)
        many.push_back(ssh_session(n));
    measure((std::to_string(count) + " sessions").c_str(), dir / "many", many);

    Json one = Json::array({ssh_session(0), ssh_session(1)});
    one[0]["notes"] = std::string(field_mib << 20, 'x');
    measure(("one " + std::to_string(field_mib) + " MiB field").c_str(), dir / "field", one);

    fs::remove_all(dir);
    return 0;
}
