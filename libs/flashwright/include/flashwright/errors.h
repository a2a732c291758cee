// Failure types of a flashing job. They stay inside the library's worker; they are public so
// that the event codes can be traced to a kind of failure and so tests can name them. Each
// carries the message the job ends with; what() is its English text.
#pragma once

#include <stdexcept>
#include <string>

#include "flashwright/export.h"
#include "flashwright/messages.h"

namespace flashwright {

class FLASHWRIGHT_API EspError : public std::runtime_error {
public:
    explicit EspError(Message message)
        : std::runtime_error(english_text(message)), m_message(std::move(message)) {}
    const Message& message() const noexcept { return m_message; }

private:
    Message m_message;
};

// A protocol or set-up error: non-zero status from the chip, missing files, bad offsets.
class FLASHWRIGHT_API EspProtocolError : public EspError {
public:
    using EspError::EspError;
};

// The job was cancelled by the user.
class FLASHWRIGHT_API EspFlasherCancelled : public EspError {
public:
    EspFlasherCancelled() : EspError(Message{"cancelled", {}}) {}
};

// Nothing (or nothing matching) arrived before a deadline.
class FLASHWRIGHT_API EspTimeoutError : public EspError {
public:
    using EspError::EspError;
};

}  // namespace flashwright
