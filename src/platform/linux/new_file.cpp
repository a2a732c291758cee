#include "platform/new_file.h"

namespace termiva::platform {

std::FILE* create_new_file(const std::filesystem::path& path) {
    // "x" is O_EXCL: the open fails rather than follow a link or reuse a file.
    return std::fopen(path.c_str(), "wbx");
}

}  // namespace termiva::platform
