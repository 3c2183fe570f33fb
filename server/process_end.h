// The last step of both programs after theServer.Stop().
#pragma once

// Returns exitCode once every connection thread has ended. A thread that
// Stop gave up on (stuck in a reply to a client that reads nothing, say)
// still runs and still calls into the server: the process then ends at once
// with exitCode instead of waiting for it; the system closes its sockets.
int EndAfterStop(int exitCode);
