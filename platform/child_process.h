// Work done in a short-lived copy of this process: what the work makes
// resident (library code, heap) goes with the copy, only its result comes
// back. For start-up work of a process that has no other thread yet: a copy
// of a threaded process would inherit locks that other threads hold.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Runs `work` in a child process and returns its result with the text it
// set (its output, or its error). Without a child (the system refuses a
// fork) the work runs here. A child that dies gives false and says so.
bool RunInChildProcess(const std::function<bool(std::string& text)>& work, std::string& text);

}  // namespace platform
