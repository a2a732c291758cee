// Native dialogs and the clipboard on GTK. Each is built and answered on
// the main thread while the calling (worker) thread waits up to its limit.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

std::optional<std::vector<std::filesystem::path>> pick_files(const std::string& title,
                                                             const std::vector<FileFilter>& filters,
                                                             bool multiple,
                                                             std::chrono::seconds limit,
                                                             const std::optional<PickStart>& start);
std::optional<std::filesystem::path> pick_folder(
    const std::string& title, std::chrono::seconds limit,
    const std::optional<std::filesystem::path>& initial);
std::optional<std::string> read_clipboard(std::chrono::seconds limit);
// A modal question, run on the main thread itself (it waits in a loop of its own): true
// for `yes`, which is also what Enter chooses; Escape or closing it answers `no`.
bool ask(const std::string& title, const std::string& question, const std::string& yes,
         const std::string& no);

}  // namespace termiva::platform::gtk
