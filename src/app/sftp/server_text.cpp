#include "app/sftp/server_text.h"

#include <stdexcept>

#include "text/codec.h"

namespace termiva::sftp_text {

std::string to_server(const std::string& encoding, const std::string& text) {
    try {
        return text::encode(encoding, text);
    } catch (const std::invalid_argument&) {
        return text;
    }
}

std::string from_server(const std::string& encoding, const std::string& bytes) {
    return text::decoder_or_utf8(encoding)->decode(bytes);
}

}  // namespace termiva::sftp_text
