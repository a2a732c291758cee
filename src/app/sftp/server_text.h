// Text between the page and an SFTP server: paths and names travel as UTF-8 on our side
// and in the session's encoding on the server's, decoded like the terminal's text.
#pragma once

#include <string>

namespace termiva::sftp_text {

// The page's text in the server's encoding; UTF-8 when the encoding's name is unknown.
std::string to_server(const std::string& encoding, const std::string& text);
std::string from_server(const std::string& encoding, const std::string& bytes);

}  // namespace termiva::sftp_text
