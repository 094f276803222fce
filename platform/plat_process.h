// Process-wide start-up that the socket layer and the program rely on.
// ProcessStartup runs its steps once per process; safe to call from any thread, any number
// of times.
#pragma once

namespace plat {

// Ignores SIGPIPE (a write to a closed peer must be an error code, not the end of the
// process) and raises the soft limit of open descriptors to the hard limit (the usual
// default of 1024 is close to the server's default client count).
void ProcessStartup();

// The soft limit of open descriptors now; -1 when unknown.
long OpenFileLimit();

}  // namespace plat
