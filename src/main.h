// The command line: what the program does with its arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

// Runs the command that `args` names (args[0] is the program name) and
// returns the exit status: EXIT_DONE, EXIT_PARTIAL or EXIT_FAILED.
int runCommandLine(const std::vector<std::wstring>& args, Platform& platform);

void printUsage(Platform& platform);

// The set command's word: a whole decimal number (an optional sign, then
// digits and nothing else) in the signed 32-bit range. Nothing otherwise,
// with `problem` saying why for the user; a hexadecimal text is answered
// with the decimal number that names the same word.
std::optional<uint32_t> parseSetWord(std::wstring_view text, std::wstring& problem);

}  // namespace tavrin
