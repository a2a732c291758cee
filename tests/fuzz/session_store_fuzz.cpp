// The stores as they are read at every start: whatever bytes sessions.json and
// settings.json hold, loading never crashes; a file that cannot be read is set aside with
// its bytes intact, and one that can is written back and reads back the same.
#include <cmath>
#include <fstream>
#include <sstream>

#include "app/store/session_store.h"
#include "fuzz_support.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string bytes_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static termiva::fuzz::ScratchDir scratch;
    const std::string content(reinterpret_cast<const char*>(data), size);
    const fs::path sessions = scratch.path() / "sessions.json";
    const fs::path settings = scratch.path() / "settings.json";
    { std::ofstream(sessions, std::ios::binary) << content; }
    { std::ofstream(settings, std::ios::binary) << content; }

    termiva::SessionStore store(sessions, settings, json{{"language", "en"}});
    store.load_sessions();
    store.load_settings();
    bool sessions_set_aside = false;
    for (const auto& u : store.take_unreadable()) {
        TERMIVA_FUZZ_CHECK(!u.moved_to.empty());
        TERMIVA_FUZZ_CHECK(bytes_of(u.moved_to) == content);
        TERMIVA_FUZZ_CHECK(!fs::exists(u.file));
        if (u.file == sessions) sessions_set_aside = true;
    }
    const json loaded = store.sessions_json();
    if (sessions_set_aside) TERMIVA_FUZZ_CHECK(loaded.empty());

    TERMIVA_FUZZ_CHECK(!store.save_sessions());
    TERMIVA_FUZZ_CHECK(!store.save_settings());
    termiva::SessionStore again(sessions, settings, json{{"language", "en"}});
    again.load_sessions();
    again.load_settings();
    TERMIVA_FUZZ_CHECK(again.take_unreadable().empty());
    if (termiva::fuzz::all_finite(loaded)) TERMIVA_FUZZ_CHECK(again.sessions_json() == loaded);
    if (termiva::fuzz::all_finite(store.settings()))
        TERMIVA_FUZZ_CHECK(again.settings() == store.settings());
    scratch.clear();
    return 0;
}
