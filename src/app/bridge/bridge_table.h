// The page's view of the application: public operations by name, with their argument
// names and defaults. Arguments arrive as a positional JSON array. A call that cannot be
// made (missing or wrongly-typed arguments, a failing handler) yields the operation's
// neutral value; an unknown name is refused.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace termiva {

struct BridgeParam {
    BridgeParam(const char* param_name) : name(param_name) {}  // NOLINT: implicit on purpose
    BridgeParam(const char* param_name, nlohmann::json fallback)
        : name(param_name), default_value(std::move(fallback)) {}
    std::string name;
    std::optional<nlohmann::json> default_value;  // none: the argument is required
};

struct BridgeOp {
    std::vector<BridgeParam> params;
    std::function<nlohmann::json()> neutral;
    std::function<nlohmann::json(const std::vector<nlohmann::json>& args)> handler;
    // Calls naming the same tab (first argument) run in the order the page made them.
    bool per_tab_order = false;
};

class BridgeTable {
public:
    void add(const std::string& name, BridgeOp op);
    bool has(const std::string& name) const { return m_ops.count(name) > 0; }
    const BridgeOp* find(const std::string& name) const;
    std::vector<std::string> names() const;
    // The operation's result, or nothing for an unknown (or internal) name.
    // `args` is taken by value and its items moved on: a paste may be megabytes.
    std::optional<nlohmann::json> call(const std::string& name, nlohmann::json args) const;

private:
    std::map<std::string, BridgeOp> m_ops;
};

// Argument `i` of a call as text; throws for a non-text value (the call then gets its
// operation's neutral value).
inline const std::string& text_arg(const std::vector<nlohmann::json>& args, std::size_t i) {
    return args.at(i).get_ref<const std::string&>();
}

}  // namespace termiva
