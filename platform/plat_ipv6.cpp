#include "platform/plat_ipv6.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {

bool CanCreateIp6TcpSocket() noexcept {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace plat
