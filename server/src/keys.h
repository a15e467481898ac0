// The server's key files and the init command. Messages for the operator go
// to standard output and error; nothing here logs.
#pragma once

#include <string>

#include "crypto/bignum.h"

std::string key_path(const std::string &dir);    // DIR/server.key
std::string pub_path(const std::string &dir);    // DIR/server.pub
std::string store_path(const std::string &dir);  // DIR/server.db
// DIR/store.url: the PostgreSQL store the last `run --store` used, for the
// administration commands while no server runs; mode 0600 (it may hold a
// password).
std::string store_url_path(const std::string &dir);
// The URL recorded there, or "" for the SQLite store.
std::string recorded_store_url(const std::string &dir);
// Records `url` ("" removes the record); false after a message on
// standard error.
bool record_store_url(const std::string &dir, const std::string &url);

// The demo pair built into the program (the one a default client trusts).
bool demo_keys(rsa_public_key &pub, rsa_private_key &pri);
bool is_demo_key(const rsa_public_key &pub);
// Reads DIR/server.key and DIR/server.pub and checks that they belong
// together; false after a message on standard error.
bool load_server_keys(const std::string &dir, rsa_public_key &pub, rsa_private_key &pri);
// `quilmar-server init -d DIR`: the process' exit status.
int init_server_dir(const std::string &dir);
