/* nimba_vezidozu DEVID DEVIP: relays gateway messages to the cloud broker. */
#include "daemon.h"

int main(int argc, char **argv) { return daemon_main(argc, argv, daemon_default_options()); }
