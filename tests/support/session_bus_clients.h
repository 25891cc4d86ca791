#pragma once

namespace cordavelle::test {

// Lets go of what this process's GLib-based clients (the Secret Service) hold on the session bus,
// before a private bus goes away: GLib's shared connection would otherwise end the whole process
// with SIGTERM once it sees the bus vanish, and the next bus would find a dead service cached.
void releaseSessionBusClients();

} // namespace cordavelle::test
