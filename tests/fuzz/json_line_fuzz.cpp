// The reader of JSON from outside the program (the page's lines, the host's input, the
// stores): any bytes give a value nested within the limit or nothing, never a crash; it
// refuses exactly the documents nested too deep, and what it reads reads back the same.
#include "fuzz_support.h"
#include "platform/bounded_json.h"

namespace {

using nlohmann::json;

int depth_of(const json& value) {
    int deepest = 0;
    if (value.is_structured()) {
        for (const auto& item : value)
            deepest = std::max(deepest, depth_of(item));
        ++deepest;
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const json bounded = termiva::platform::parse_json_bounded(text, false);
    bool threw = false;
    try {
        (void)termiva::platform::parse_json_bounded(text, true);
    } catch (const std::exception&) {
        threw = true;
    }
    TERMIVA_FUZZ_CHECK(threw == bounded.is_discarded());

    // Inputs are a few KiB at most, so the unbounded parser's value is shallow enough to
    // measure here.
    const json unbounded = json::parse(text, nullptr, false);
    if (unbounded.is_discarded()) {
        TERMIVA_FUZZ_CHECK(bounded.is_discarded());
        return 0;
    }
    const bool too_deep = depth_of(unbounded) > termiva::platform::MAX_JSON_DEPTH;
    TERMIVA_FUZZ_CHECK(bounded.is_discarded() == too_deep);
    if (too_deep) return 0;
    TERMIVA_FUZZ_CHECK(bounded == unbounded || !termiva::fuzz::all_finite(unbounded));
    const json again = termiva::platform::parse_json_bounded(bounded.dump(), false);
    TERMIVA_FUZZ_CHECK(!again.is_discarded());
    if (termiva::fuzz::all_finite(bounded)) TERMIVA_FUZZ_CHECK(again == bounded);
    return 0;
}
