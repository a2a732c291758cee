#include "platform/assistant_program.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace termiva::platform {

std::filesystem::path path_typed_by_user(const std::string& text) {
    const bool from_home = text == "~" || text.rfind("~/", 0) == 0 || text.rfind("~\\", 0) == 0;
    if (!from_home) return path_from_utf8(text);
    if (text.size() <= 2) return home_dir();
    return home_dir() / path_from_utf8(text.substr(2));
}

}  // namespace termiva::platform
