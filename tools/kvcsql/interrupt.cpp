#include "interrupt.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvcsql {

namespace {

volatile std::sig_atomic_t g_prompt_interrupted = 0;
volatile std::sig_atomic_t g_cancelled = 0;
volatile std::sig_atomic_t g_statement_socket = -1;

bool take(volatile std::sig_atomic_t& flag) {
    bool was = flag != 0;
    flag = 0;
    return was;
}

bool is_connected_tcp_socket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) return false;
    struct sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_length) != 0) return false;
    return peer.ss_family == AF_INET || peer.ss_family == AF_INET6;
}

}  // namespace

void note_interrupt() {
    int fd = g_statement_socket;
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        g_cancelled = 1;
    } else {
        g_prompt_interrupted = 1;
    }
}

bool take_prompt_interrupt() { return take(g_prompt_interrupted); }
bool take_cancellation() { return take(g_cancelled); }

int find_connection_socket() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || end == entry->d_name || fd < 0 || fd > INT_MAX || fd == dirfd(dir)) continue;
        if (fd > found && is_connected_tcp_socket(static_cast<int>(fd))) found = static_cast<int>(fd);
    }
    closedir(dir);
    return found;
}

StatementGuard::StatementGuard(int socket_fd, bool terminal) {
    g_cancelled = 0;
    g_statement_socket = socket_fd;
    if (!terminal || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    struct termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    restore_terminal_ = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
}

StatementGuard::~StatementGuard() {
    g_statement_socket = -1;
    // TCSANOW, not TCSAFLUSH: what was typed ahead stays for the prompt.
    if (restore_terminal_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

}  // namespace kvcsql
