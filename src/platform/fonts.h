// The fonts installed on the system, as the settings panel offers them.
#pragma once

#include <string>
#include <vector>

namespace termiva::platform {

// The family names of the installed fixed-width fonts (monospace, and the dual-width CJK
// terminal fonts), sorted, each once:
// fontconfig's on Linux, GDI's fixed-pitch families on Windows. Empty when the system
// cannot tell.
std::vector<std::string> monospace_font_families();

}  // namespace termiva::platform
