// Work done in a short-lived copy of this process: what the work makes
// resident (library code, heap) goes with the copy, only its result comes
// back. Meant for start-up work, before a process starts other threads; once
// it has, the work runs in place (a copy would inherit their locks held).
#pragma once

#include <functional>
#include <string>

namespace platform {

// Runs `work` in a child process and returns its result with the text it
// set (its output, or its error). In place when other threads run or the
// system refuses a fork. A child that dies gives false and says so.
bool RunInChildProcess(const std::function<bool(std::string& text)>& work, std::string& text);

}  // namespace platform
