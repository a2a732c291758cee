// Developer diagnostics: single flushed lines, by default on standard error.
#pragma once

#include <functional>
#include <string>

namespace flashwright::detail {

void diag(const std::string& line) noexcept;

// Replaces the destination of the diagnostic lines (tests capture them); null restores
// standard error.
void set_diag_sink(std::function<void(const std::string&)> sink);

}  // namespace flashwright::detail
