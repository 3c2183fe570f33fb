#include "server/process_end.h"

#include <cstdio>
#include <cstdlib>

#include "server/ftp_server.h"

namespace {
// Time for the last words of threads that did end to reach the main thread.
constexpr int kGraceMs = 300;
}  // namespace

int EndAfterStop(int exitCode)
{
    if (theServer.WaitForThreadsToEnd(kGraceMs))
        return exitCode;
    // Destructors would pull the server out from under the stuck thread.
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
