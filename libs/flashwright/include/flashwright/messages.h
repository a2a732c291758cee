// What a job has to say, as a short code with named values, so that the owner of the user
// interface can word it in the user's language. The library's own wording is English; it
// is what `english_text` returns and what the diagnostic lines carry.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flashwright/export.h"

namespace flashwright {

struct Message {
    std::string code;  // empty: nothing to say
    std::vector<std::pair<std::string, std::string>> values;

    // The value named `name`, or "".
    FLASHWRIGHT_API const std::string& value(std::string_view name) const noexcept;
};

// The English text of `message` with its "{name}" parts filled in. An unknown code comes
// back as the code itself followed by its values.
FLASHWRIGHT_API std::string english_text(const Message& message);

// The title of a job phase ("reset", "sync", … "after-reset") as a message: code "phase_"
// and the phase's name with '-' as '_', no values.
FLASHWRIGHT_API Message phase_title(std::string_view phase);

// Every code a job reports, with its English template, for the owner's catalog and its tests.
FLASHWRIGHT_API const std::vector<std::pair<std::string_view, std::string_view>>&
message_templates();

}  // namespace flashwright
