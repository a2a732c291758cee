// Message lookup: dotted keys, two languages, named placeholders in braces.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace termiva {

// language → (key → text)
using MessageCatalog = std::map<std::string, std::map<std::string, std::string, std::less<>>>;
// Placeholder values by name, already in their text form.
using MessageArgs = std::vector<std::pair<std::string, std::string>>;

const MessageCatalog& message_catalog();

// Fills "{name}" placeholders from `values` and turns "{{"/"}}" into single braces.
// A placeholder without a value, or a malformed text, gives `text` back unchanged.
// With no values at all the text is returned as stored.
std::string format_message(const std::string& text, const MessageArgs& values);

// The text of `key` in `lang` with its placeholders filled; a key that language lacks
// comes in English, and an unknown key comes back as itself.
std::string translate(std::string_view lang, std::string_view key, const MessageArgs& values = {});

}  // namespace termiva
