#include "app/bridge/bridge_table.h"

#include "platform/log.h"

namespace termiva {

void BridgeTable::add(const std::string& name, BridgeOp op) {
    // Internal operations are never reachable, whatever registers them.
    if (name.empty() || name[0] == '_') return;
    m_ops[name] = std::move(op);
}

const BridgeOp* BridgeTable::find(const std::string& name) const {
    auto it = m_ops.find(name);
    return it == m_ops.end() ? nullptr : &it->second;
}

std::vector<std::string> BridgeTable::names() const {
    std::vector<std::string> out;
    for (const auto& [name, op] : m_ops)
        out.push_back(name);
    return out;
}

std::optional<nlohmann::json> BridgeTable::call(const std::string& name,
                                                nlohmann::json args) const {
    const BridgeOp* op = find(name);
    if (!op) return std::nullopt;
    try {
        if (!args.is_null() && !args.is_array()) return op->neutral();
        std::size_t given = args.is_array() ? args.size() : 0;
        if (given > op->params.size()) return op->neutral();
        std::vector<nlohmann::json> values;
        values.reserve(op->params.size());
        for (std::size_t i = 0; i < op->params.size(); ++i) {
            if (i < given) {
                values.push_back(std::move(args[i]));
            } else if (op->params[i].default_value) {
                values.push_back(*op->params[i].default_value);
            } else {
                return op->neutral();
            }
        }
        return op->handler(values);
    } catch (const std::exception& e) {
        log::warn("bridge", name + ": " + e.what());
    }
    try {
        return op->neutral();
    } catch (const std::exception& e) {
        log::error("bridge", name + ": no neutral value: " + e.what());
        return nullptr;
    }
}

}  // namespace termiva
