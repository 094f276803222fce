// Probe of the system's IPv6 support. Stateless; safe from any thread.
#pragma once

namespace plat {

// True when an AF_INET6 stream socket can be created right now (the socket is
// closed again at once). False on kernels without IPv6 or when it is disabled.
bool CanCreateIp6TcpSocket() noexcept;

}  // namespace plat
