// Where this library's file lives; the default stub directory sits beside it.
#pragma once

#include <filesystem>

namespace flashwright::detail {

std::filesystem::path default_stub_dir();

}  // namespace flashwright::detail
