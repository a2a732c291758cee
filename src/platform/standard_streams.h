// The arguments and standard streams of a program driven through its pipes (termiva-host):
// its protocol is JSON lines on standard input and output, byte for byte on every system.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace termiva::platform {

// The program's arguments as UTF-8, argv[0] included (on Windows main receives them in
// the ANSI code page, which cannot hold every file name).
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Standard input in binary mode: each line arrives as it was sent (Windows would otherwise
// turn "\r\n" into "\n" and stop at a Ctrl-Z byte).
void binary_standard_input();

// The original standard output as a binary stream of its own, for the protocol alone;
// standard output itself then points at standard error, so anything else the program or
// a library prints lands among the diagnostics. nullptr when it cannot be done.
std::FILE* take_standard_output();

}  // namespace termiva::platform
