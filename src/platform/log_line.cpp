#include "platform/log_line.h"

#include <cstdio>

namespace termiva::log {

namespace {

const char* level_name(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warn:
            return "warn";
        case Level::error:
            return "error";
    }
    return "?";
}

}  // namespace

std::string format_line(Level level, std::string_view component, std::string_view message,
                        unsigned long thread) {
    char thread_text[32];
    std::snprintf(thread_text, sizeof thread_text, "%lx", thread & 0xffffffUL);
    std::string line;
    line.reserve(component.size() + message.size() + 40);
    // A tag written the old way, "load_sessions:", keeps its form; others are bracketed.
    if (!component.empty() && component.back() == ':') {
        line += component;
        line += ' ';
    } else {
        line += '[';
        line += component;
        line += "] ";
    }
    line += message;
    line += " (";
    line += level_name(level);
    line += ", thread ";
    line += thread_text;
    line += ")\n";
    return line;
}

}  // namespace termiva::log
