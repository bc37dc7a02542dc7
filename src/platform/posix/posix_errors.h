// The words a failure of the Linux platform is told in.
#pragma once

#include <string>

namespace tavrin {

// Why a listing was given up when its folder could not be reached again;
// no errno has this value.
constexpr int FOLDER_REPLACED = -1;

// A failure (an errno value, or FOLDER_REPLACED) in the few words messages
// use; the system's own for the rest.
std::wstring errorText(int error);

}  // namespace tavrin
