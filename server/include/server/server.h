// quilmar-server: the mediation server that clients log in to. It enrols
// and authenticates clients, keeps networks and memberships in its store,
// and introduces clients that are online in a common network to each other
// with the keys for their tunnels. One process, one thread, the project's
// event loop; the store is an SQLite file in the server's directory.
#pragma once

// The whole program: `init -d DIR`, `run -d DIR [...]`, `-h`, `-V`. Returns the
// exit status (1 for a bad command line).
int quilmar_server_main(int argc, char **argv);
