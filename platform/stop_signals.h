// The process's signals, set in one place for both programs: SIGTERM and
// SIGINT (a service stopped, the desktop session ending, Ctrl+C) become a
// call on the main thread through a self-pipe, so the program can end in
// order; SIGPIPE is ignored, since a client that hangs up is no reason to die.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class ReadWatch;

class StopSignalWatcher {
public:
    // Main thread, with its loop in place. One watcher at a time.
    explicit StopSignalWatcher(std::function<void()> onStop);
    // Restores the default action of SIGTERM and SIGINT.
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // False when the pipe could not be made: the signals then keep their
    // default action.
    bool IsInstalled() const { return m_pWatch != nullptr; }

private:
    std::unique_ptr<ReadWatch> m_pWatch;
};

}  // namespace platform
