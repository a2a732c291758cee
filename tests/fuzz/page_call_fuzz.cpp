// The headless host's reading of a page call script: any text yields a call with a name
// and an argument list, or nothing, and a call it reads re-reads the same.
#include "fuzz_support.h"
#include "host_window.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    const nlohmann::json call = termiva::host::parse_page_call(script);
    if (call.is_null()) return 0;
    TERMIVA_FUZZ_CHECK(call.is_object());
    TERMIVA_FUZZ_CHECK(call["call"].is_string());
    TERMIVA_FUZZ_CHECK(call["args"].is_array());
    // What the program writes for such a call reads back as the same call.
    std::string again = call["call"].get<std::string>() + "(";
    bool first = true;
    for (const auto& arg : call["args"]) {
        if (!first) again += ",";
        first = false;
        again += arg.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    }
    again += ")";
    const nlohmann::json reread = termiva::host::parse_page_call(again);
    const std::string& name = call["call"].get_ref<const std::string&>();
    // A call named "if" (or one whose name holds a parenthesis) rebuilds into text that reads
    // as a guard; the program never emits such a call, JavaScript has no function by that name.
    if (termiva::fuzz::all_finite(call["args"]) && again.rfind("if(", 0) != 0 &&
        name.find('(') == std::string::npos) {
        TERMIVA_FUZZ_CHECK(reread == call);
    }
    return 0;
}
