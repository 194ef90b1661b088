// A TCP port on 127.0.0.1 that nobody listens on at the moment of asking,
// for a broker or server that a test or benchmark starts of its own. No Qt:
// the process benchmark shares it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvextest {

// 0 when the system gave none.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

}  // namespace kvextest
