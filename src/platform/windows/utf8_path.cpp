// A Windows path is UTF-16 natively; building it from the wide text leaves libstdc++ no
// code page to guess.
#include "platform/utf8_path.h"

#include "platform/windows/wide_text.h"

namespace termiva::platform {

std::filesystem::path path_from_utf8(std::string_view utf8) {
    return std::filesystem::path(windows::to_utf16(utf8));
}

std::string path_to_utf8(const std::filesystem::path& path) {
    return windows::to_utf8(path.native());
}

}  // namespace termiva::platform
