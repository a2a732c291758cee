// Failure types of a flashing job. They stay inside the library's worker; they are public so
// that the event texts can be traced to a kind of failure and so tests can name them.
#pragma once

#include <stdexcept>
#include <string>

#include "flashwright/export.h"

namespace flashwright {

// A protocol or set-up error: non-zero status from the chip, missing files, bad offsets.
class FLASHWRIGHT_API EspProtocolError : public std::runtime_error {
public:
    explicit EspProtocolError(const std::string& what) : std::runtime_error(what) {}
};

// The job was cancelled by the user.
class FLASHWRIGHT_API EspFlasherCancelled : public std::runtime_error {
public:
    EspFlasherCancelled() : std::runtime_error("使用者取消") {}
};

// Nothing (or nothing matching) arrived before a deadline.
class FLASHWRIGHT_API EspTimeoutError : public std::runtime_error {
public:
    explicit EspTimeoutError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace flashwright
