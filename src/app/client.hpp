// Start-up, registration and the main loop of the daemon.
#pragma once

#include "app/shutdown.hpp"
#include "cloud/link.hpp"

namespace lld {

// The whole daemon: returns the exit status (255 on a start-up failure).
int lld_main(int argc, char** argv);

// Waits until the WAN service can be queried (20 tries, 5 s apart) and then
// publishes the ready report; a termination signal during the wait shuts down.
void wait_and_register(ShutdownSignals& signals);

// Serves the link until it is closed; `fdAck` is -1 when there is none.
void lld_main_loop(nal_socket* link, int fdAck, ShutdownSignals& signals);

}  // namespace lld
