/*
 * The kernel's figures of a connection's socket. Any thread; every call is one system call on the
 * socket and touches nothing else.
 */
#include "websocket_socket.h"

#include <netinet/in.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace wss {

size_t socket_unsent(int fd)
{
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return (size_t)queued;
}

uint64_t socket_acked(int fd)
{
    struct tcp_info info = {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(struct tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return 0;
    return info.tcpi_bytes_acked;
}

void reset_at_close(int fd)
{
    const struct linger now = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

}  // namespace wss
