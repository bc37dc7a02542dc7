// The command line: what the program does with its arguments.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

// Runs the command that `args` names (args[0] is the program name) and
// returns the exit code, always 0.
int runCommandLine(const std::vector<std::wstring>& args, Platform& platform);

void printUsage(Platform& platform);

// The set value of a decimal text: leading white space, an optional sign,
// then digits up to the first other character; no digits give 0, and a value
// beyond the signed 32-bit range is clamped to its nearest end.
uint32_t parseSetValue(const std::wstring& text);

}  // namespace tavrin
