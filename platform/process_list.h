// Counting the running copies of the program by executable file name.
#pragma once

#include <string>

namespace platform {

// Number of processes under `procRoot` (normally "/proc") whose executable
// file name equals `name` without regard to case: the base name of
// <pid>/exe, or <pid>/comm where exe cannot be read (other users' processes).
// -1 when the process list itself cannot be read.
int CountProcessesNamed(const std::string& name, const std::string& procRoot = "/proc");

}  // namespace platform
