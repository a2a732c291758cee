// Linux file names are bytes and the program's text is UTF-8: nothing to convert.
#include "platform/utf8_path.h"

namespace termiva::platform {

std::filesystem::path path_from_utf8(std::string_view utf8) {
    return std::filesystem::path(std::string(utf8));
}

std::string path_to_utf8(const std::filesystem::path& path) {
    return path.string();
}

std::string path_for_narrow_api(const std::filesystem::path& path) {
    return path.string();
}

}  // namespace termiva::platform
