#include "platform/fonts.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <memory>

namespace termiva::platform {

namespace {

// The first family name of every font whose spacing is `spacing`, appended to `families`.
void add_families(int spacing, std::vector<std::string>& families) {
    std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)> pattern(FcPatternCreate(),
                                                                    FcPatternDestroy);
    std::unique_ptr<FcObjectSet, decltype(&FcObjectSetDestroy)> wanted(
        FcObjectSetBuild(FC_FAMILY, nullptr), FcObjectSetDestroy);
    if (!pattern || !wanted) return;
    FcPatternAddInteger(pattern.get(), FC_SPACING, spacing);
    std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)> fonts(
        FcFontList(nullptr, pattern.get(), wanted.get()), FcFontSetDestroy);
    if (!fonts) return;
    for (int i = 0; i < fonts->nfont; ++i) {
        FcChar8* family = nullptr;
        // The first family name is the font's own; later ones are translations.
        if (FcPatternGetString(fonts->fonts[i], FC_FAMILY, 0, &family) == FcResultMatch && family)
            families.emplace_back(reinterpret_cast<const char*>(family));
    }
}

}  // namespace

std::vector<std::string> monospace_font_families() {
    std::vector<std::string> families;
    if (!FcInit()) return families;
    add_families(FC_MONO, families);
    // CJK terminal fonts are "dual": their wide characters take two cells, as a terminal
    // draws them.
    add_families(FC_DUAL, families);
    std::sort(families.begin(), families.end());
    families.erase(std::unique(families.begin(), families.end()), families.end());
    return families;
}

}  // namespace termiva::platform
