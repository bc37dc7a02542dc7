// Creating the result file of tavrin.exe.
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace tavrin {

// Creates `path` new for writing, or gives INVALID_HANDLE_VALUE with the
// reason in `failure`. In the tool folder (`...\Norvane\Wickline\name`) the
// folders are opened and checked first and the file is made relative to the
// handle of the checked folder, so it cannot be swapped in between; when the
// run is elevated the file is for Administrators and SYSTEM only, and
// `warning` says so when the folder lets other users add files. Readers may
// open the file while the run holds it.
HANDLE createResultHandle(const std::wstring& path, CreateFailure& failure, std::wstring& warning);

// True when the process runs elevated (an administrator's full rights).
bool elevated();

}  // namespace tavrin
