// The notices of the open-source software delivered with the program, for the about
// panel: one item for a PuTTY source tree when one is shipped, then one per metadata
// folder "<name>-<version>.dist-info" in the package root (the build writes one for every
// component the program delivers or links, from the component's own licence files).
//
// Owns: nothing; reads the folders it is given.
// Called from: bridge workers.
// Lock: none.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace termiva::notices {

// (labels joined by " · ", combined text) of the notice files in `dir` and in its
// "licenses" folder; nothing when it holds none. Two or more files each get a ruled
// block headed by their label. A file that exists but cannot be read throws.
std::optional<std::pair<std::string, std::string>> read_license_file(
    const std::filesystem::path& dir);

// {"items": [{name, version, license_file, body}, ...]}. Throws when a folder or file
// that exists cannot be read.
nlohmann::json third_party_licenses(const std::filesystem::path& package_root,
                                    const std::filesystem::path& putty_dir);

}  // namespace termiva::notices
