#include "platform/linux/gtk/page_call.h"

#include <exception>

namespace termiva::platform::gtk {

namespace {

using nlohmann::json;

std::string error_answer(const std::string& text) {
    return json{{"error", text}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string answer(const BridgeHandler& bridge, std::string_view message) {
    json call = json::parse(message, nullptr, false);
    if (call.is_discarded() || !call.is_object()) return error_answer("malformed page call");
    auto op = call.find("op");
    if (op == call.end() || !op->is_string()) return error_answer("page call without operation");
    json args = json::array();
    if (auto a = call.find("args"); a != call.end() && !a->is_null()) {
        if (!a->is_array()) return error_answer("arguments must be a list");
        args = *a;
    }
    const std::string name = op->get<std::string>();
    std::optional<json> result = bridge ? bridge(name, args) : std::nullopt;
    if (!result) return error_answer("unknown operation: " + name);
    // Text from peers may hold invalid UTF-8: replace it rather than fail the call.
    return json{{"result", std::move(*result)}}.dump(-1, ' ', false,
                                                     json::error_handler_t::replace);
}

}  // namespace

std::string answer_page_call(const BridgeHandler& bridge, std::string_view message) noexcept {
    try {
        return answer(bridge, message);
    } catch (const std::exception& e) {
        try {
            return error_answer(std::string("operation failed: ") + e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return R"({"error":"operation failed"})";
}

}  // namespace termiva::platform::gtk
