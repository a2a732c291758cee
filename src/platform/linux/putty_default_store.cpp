// PuTTY on Unix keeps its saved sessions in ~/.putty/sessions.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/putty_sessions.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

fs::path home_dir() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

}  // namespace

std::shared_ptr<PuttySessionStore> default_putty_session_store() {
    const fs::path home = home_dir();
    return putty_session_files(home.empty() ? fs::path() : home / ".putty" / "sessions");
}

}  // namespace termiva::platform
