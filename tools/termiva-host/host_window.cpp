#include "host_window.h"

namespace termiva::host {

void LineWriter::write(const nlohmann::json& message) {
    std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    std::lock_guard lock(m_lock);
    std::fwrite(line.data(), 1, line.size(), m_out);
    std::fflush(m_out);
}

nlohmann::json parse_page_call(const std::string& script) {
    std::string call = script;
    // A guarded call ("if(window.f) f(...)") is reported as the call itself.
    if (call.rfind("if(", 0) == 0) {
        auto guard_end = call.find(") ");
        if (guard_end == std::string::npos) return nullptr;
        call = call.substr(guard_end + 2);
    }
    auto open = call.find('(');
    if (open == std::string::npos || call.empty() || call.back() != ')') return nullptr;
    std::string name = call.substr(0, open);
    // The arguments are JSON literals separated by commas: as an array they parse as one.
    auto args = nlohmann::json::parse("[" + call.substr(open + 1, call.size() - open - 2) + "]",
                                      nullptr, false);
    if (args.is_discarded()) return nullptr;
    return nlohmann::json{{"call", name}, {"args", args}};
}

void HostWindow::evaluate_script(const std::string& script) {
    nlohmann::json call = parse_page_call(script);
    if (call.is_null()) call = nlohmann::json{{"call", "$script"}, {"args", {script}}};
    m_out.write(call);
}

}  // namespace termiva::host
