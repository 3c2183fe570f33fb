// Between the common mailbox of cross-thread calls and the loop build that
// wakes a thread for them.
#pragma once

#include "platform/main_thread.h"

namespace platform {

// Any thread, with the mailbox locked (so it must not wait for anything a
// running call could hold): wakes the owner of `context`, whose loop then
// calls RunPendingCalls. Defined by each loop build.
void RingBell(WaitActivity& context);

// Owner thread: runs every call queued for the calling thread.
void RunPendingCalls();

}  // namespace platform
