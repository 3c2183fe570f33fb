#include "ftp/passive_listener.h"

#include <cerrno>
#include <random>

namespace {

constexpr int kBacklog = 5;

bool ListenAt(platform::AsyncSocket& socket, const std::string& address, int port)
{
    if (socket.Create(address, port) && socket.Listen(kBacklog))
        return true;
    socket.Close();
    return false;
}

int RandomOffset(int count)
{
    thread_local std::minstd_rand generator{std::random_device{}()};
    return std::uniform_int_distribution<int>(0, count - 1)(generator);
}

}  // namespace

bool ListenOnPassivePort(platform::AsyncSocket& socket, const std::string& address, const PortRange& range)
{
    if (!range.IsSet())
        return ListenAt(socket, address, 0);
    const int count = range.high - range.low + 1;
    const int start = RandomOffset(count);
    for (int i = 0; i < count; ++i) {
        if (ListenAt(socket, address, range.low + (start + i) % count))
            return true;
        if (socket.LastError() != EADDRINUSE)
            return false;  // not a busy port: another port will not do better
    }
    return false;
}
