/*
 * What the kernel knows of a connection's socket, and the one option the endpoint sets on it at the
 * end. Kept apart from the library's headers: the kernel's TCP header, which has the acknowledged byte
 * count, cannot be included beside the C library's that the library's headers use.
 */
#ifndef CLOUD_ACCESS_WEBSOCKET_SOCKET_H
#define CLOUD_ACCESS_WEBSOCKET_SOCKET_H

#include <stddef.h>
#include <stdint.h>

namespace wss {

/* Bytes the socket holds that the service has not acknowledged; 0 when it cannot be told. */
size_t socket_unsent(int fd);
/* Bytes of this connection the service has acknowledged so far (only grows); 0 when it cannot be told. */
uint64_t socket_acked(int fd);
/* The socket's close resets the connection instead of waiting to deliver what it still holds. */
void reset_at_close(int fd);

}  // namespace wss

#endif
