#include "platform/listening_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

int OpenListeningSocket(const std::string& address, int port, int backlog, int& error)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || ::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = EADDRNOTAVAIL;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    // Lets a restart take the port back while old connections linger in
    // TIME_WAIT; a port that another program listens on is still refused.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, backlog) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

int LocalPortOf(int handle)
{
    sockaddr_in sin{};
    socklen_t length = sizeof sin;
    if (handle < 0 || ::getsockname(handle, reinterpret_cast<sockaddr*>(&sin), &length) != 0)
        return -1;
    return ntohs(sin.sin_port);
}

AcceptResult AcceptConnection(int listening, int& connection)
{
    connection = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (connection >= 0)
        return AcceptResult::Accepted;
    return errno == EMFILE || errno == ENFILE ? AcceptResult::OutOfHandles : AcceptResult::NoneWaiting;
}

}  // namespace platform
