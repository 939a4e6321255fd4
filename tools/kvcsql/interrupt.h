// Ctrl-C in kvcsql: at the prompt it drops the line being typed; while a
// statement runs it cancels it. The protocol has no cancel message, so the
// connection's socket is shut down: the library's wait ends with a broken
// connection and the shell reconnects.
#pragma once

#include <termios.h>

namespace kvcsql {

// Called from the SIGINT handler (async-signal-safe).
void note_interrupt();

// True once after a Ctrl-C that reached the prompt's read.
bool take_prompt_interrupt();
// True once after a Ctrl-C that cancelled a statement.
bool take_cancellation();

// The socket of the library's one connection, found among the descriptors
// of the process (the library does not hand it out); -1 when none is open.
int find_connection_socket();

// While alive: a Ctrl-C shuts down socket_fd, and on a terminal the keys
// typed meanwhile are not echoed into the progress line (they wait for the
// next prompt).
class StatementGuard {
public:
    StatementGuard(int socket_fd, bool terminal);
    ~StatementGuard();
    StatementGuard(const StatementGuard&) = delete;
    StatementGuard& operator=(const StatementGuard&) = delete;

private:
    bool restore_terminal_ = false;
    struct termios saved_ {};
};

}  // namespace kvcsql
