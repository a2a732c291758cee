// A session record as the page hands it to save_session, brought to the types the program
// and the page read back before it is stored: a text field holds a text, a number field a
// number or its text, a switch true or false, a list a list. What a file holds is not
// touched here (the store keeps a file's values as written); this is the door of the page.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace termiva {

// The longest text one field may hold. A key path, a host, a note: far below this; a text
// of tens of megabytes would be written, read and sent to the page on every save and start.
constexpr std::size_t MAX_FIELD_BYTES = std::size_t{1} << 20;

// Why a record cannot be stored: the field whose text is longer than MAX_FIELD_BYTES.
struct RecordRefusal {
    std::string field;
};

// Normalises `rec` (an object) in place: a text, number or switch field of another type gets
// the value the program reads it as (its text form, its integer, true or false), and a list
// field that is no list is left out, as the page leaves out an empty one. Refuses a record
// holding a text longer than MAX_FIELD_BYTES anywhere in it.
std::optional<RecordRefusal> normalise_page_record(nlohmann::json& rec);

}  // namespace termiva
