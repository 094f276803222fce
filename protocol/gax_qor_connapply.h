// Applying a connection's settings to a TCP socket before it connects: time-out,
// address family preference and the HTTP-tunnel or SOCKS proxy.
// The socket belongs to the calling thread.
#pragma once

#include "protocol/gax_qor_connparams.h"

namespace gax {

class TTCPBlockSocket;

// Prepares the socket: connection time-out, IPv4 preference, no exceptions, no
// stop request, and exactly the proxy the settings name (earlier proxy
// addresses and credentials are cleared). Read and write time-outs are left to
// the connection's owner.
void ApplyConnectionParams(TTCPBlockSocket& socket, const TQORConnectionParams& params);

}  // namespace gax
