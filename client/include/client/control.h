// The local control interface on top of the control socket.
//
// Daemon side: one static handler that serves one client at a time. It
// turns the client's requests into calls on the session and the session's
// callbacks into notifications for the client. The session is created with
// control_callbacks() as its session_cb and bound to the handler by
// start_control_server; the handler owns neither.
//
// Client side: cli_main, the short-lived `quilmar <command>` that reads the
// daemon's status, sends at most one request, prints progress and the
// outcome, and returns the exit status.
#pragma once

#include <string>
#include <vector>

class session;
class session_cb;

// The handler's session_cb part, for the session's constructor.
session_cb *control_callbacks();
// Binds the handler to `s` and listens on the configuration's ipc_path.
// False (the cause logged) when the socket cannot be set up; the daemon
// then stops with status 254.
bool start_control_server(session *s);

// `words` are the command words after the options, possibly none. Returns
// 0 when the daemon was reached, -2 (status 254) when it could not be;
// command-line errors end the process through usage() with status 1.
int cli_main(const std::vector<std::string> &words);
