#include "platform/linux/gtk/page_call.h"

#include <atomic>
#include <exception>
#include <memory>
#include <optional>

#include "platform/bounded_json.h"

namespace termiva::platform::gtk {

namespace {

using nlohmann::json;

std::string error_answer(const std::string& text) {
    return json{{"error", text}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string result_answer(std::optional<json> result, const std::string& name) {
    if (!result) return error_answer("unknown operation: " + name);
    // Text from peers may hold invalid UTF-8: replace it rather than fail the call.
    return json{{"result", std::move(*result)}}.dump(-1, ' ', false,
                                                     json::error_handler_t::replace);
}

std::string failure_answer(const char* what) noexcept {
    try {
        return error_answer(std::string("operation failed: ") + what);
    } catch (...) {
        return R"({"error":"operation failed"})";
    }
}

}  // namespace

void start_page_call(const BridgeHandler& bridge, std::string_view message,
                     std::function<void(std::string answer)> done) noexcept {
    // Shared so that a bridge that throws after taking the reply cannot answer twice.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto answer_once = [answered, done](std::string text) {
        if (!answered->exchange(true)) done(std::move(text));
    };
    try {
        json call = parse_json_bounded(message, false);
        if (call.is_discarded() || !call.is_object()) {
            return answer_once(error_answer("malformed page call"));
        }
        auto op = call.find("op");
        if (op == call.end() || !op->is_string()) {
            return answer_once(error_answer("page call without operation"));
        }
        json args = json::array();
        if (auto a = call.find("args"); a != call.end() && !a->is_null()) {
            if (!a->is_array()) return answer_once(error_answer("arguments must be a list"));
            args = *a;
        }
        const std::string name = op->get<std::string>();
        if (!bridge) return answer_once(error_answer("unknown operation: " + name));
        bridge(name, args, [answer_once, name](std::optional<json> result) {
            try {
                answer_once(result_answer(std::move(result), name));
            } catch (const std::exception& e) {
                answer_once(failure_answer(e.what()));
            }
        });
    } catch (const std::exception& e) {
        answer_once(failure_answer(e.what()));
    } catch (...) {
        answer_once(failure_answer("unknown failure"));
    }
}

}  // namespace termiva::platform::gtk
