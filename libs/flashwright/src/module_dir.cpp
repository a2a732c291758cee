#include "module_dir.h"

#include <dlfcn.h>

#include <system_error>

namespace flashwright::detail {
namespace {

// Any symbol of this module; its address tells dladdr which file we were loaded from.
void module_anchor() {}

}  // namespace

std::filesystem::path default_stub_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_anchor), &info) != 0 && info.dli_fname) {
        std::error_code ec;
        auto file = std::filesystem::canonical(info.dli_fname, ec);
        if (!ec) return file.parent_path() / "esp_stubs";
    }
    return std::filesystem::path("esp_stubs");
}

}  // namespace flashwright::detail
