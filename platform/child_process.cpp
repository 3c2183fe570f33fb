#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/handles.h"

namespace platform {
namespace {

std::string ReadAll(int fd)
{
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

// A fork copies the calling thread alone: a lock another thread holds would
// stay held in the child for ever.
bool IsOnlyThread()
{
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return false;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks))
        count += entry->d_name[0] != '.';
    ::closedir(tasks);
    return count == 1;
}

// Never returns: the child must not go on with the parent's program, not
// even by an exception (one ends it abnormally, which the parent reports).
[[noreturn]] void RunChild(const std::function<bool(std::string&)>& work, int replyFd) noexcept
{
    // A stop signal is the parent's to act on.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    std::string result;
    const bool ok = work(result);
    const std::string reply = (ok ? "1" : "0") + result;
    WriteAll(replyFd, reply.data(), reply.size());
    ::_exit(0);  // no exit handlers: they belong to the parent
}

// The child's exit status, or -1 when it did not exit by itself.
int WaitForExit(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool RunInChildProcess(const std::function<bool(std::string& text)>& work, std::string& text)
{
    int fds[2];
    if (!IsOnlyThread() || ::pipe2(fds, O_CLOEXEC) != 0)
        return work(text);
    const pid_t child = ::fork();
    if (child < 0) {
        CloseHandle(fds[0]);
        CloseHandle(fds[1]);
        return work(text);
    }
    if (child == 0) {
        ::close(fds[0]);
        RunChild(work, fds[1]);
    }
    CloseHandle(fds[1]);
    const std::string reply = ReadAll(fds[0]);
    CloseHandle(fds[0]);
    if (WaitForExit(child) != 0 || reply.empty()) {
        text = "the child process doing the work ended abnormally";
        return false;
    }
    text = reply.substr(1);
    return reply[0] == '1';
}

}  // namespace platform
