// The fixed-pitch font families GDI knows, through EnumFontFamiliesExW: one call per
// face, vertical ("@") faces left out, names converted by the one UTF-16 helper.
#include "platform/fonts.h"

#include <windows.h>

#include <algorithm>

#include "platform/windows/wide_text.h"

namespace termiva::platform {

namespace {

int CALLBACK add_family(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM found) {
    const bool fixed = (font->lfPitchAndFamily & 0x3) == FIXED_PITCH;
    if (fixed && font->lfFaceName[0] != L'@') {
        reinterpret_cast<std::vector<std::string>*>(found)->push_back(
            windows::to_utf8(font->lfFaceName));
    }
    return 1;  // go on
}

}  // namespace

std::vector<std::string> monospace_font_families() {
    std::vector<std::string> families;
    HDC screen = ::GetDC(nullptr);
    if (!screen) return families;
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    ::EnumFontFamiliesExW(screen, &query, add_family, reinterpret_cast<LPARAM>(&families), 0);
    ::ReleaseDC(nullptr, screen);
    std::sort(families.begin(), families.end());
    families.erase(std::unique(families.begin(), families.end()), families.end());
    return families;
}

}  // namespace termiva::platform
