#include "embedded_server.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kvcsql {

namespace {

// The running server and its temporary folder, for the signal path (one
// embedded server per process); plain arrays because a handler may not allocate.
volatile pid_t g_server_pid = -1;
char g_temp_dir[512];

// dst = a + b, within the buffer, without library calls that may allocate.
void join_path(char* dst, size_t size, const char* a, const char* b) {
    size_t n = 0;
    for (; *a && n + 1 < size; ++a) dst[n++] = *a;
    for (; *b && n + 1 < size; ++b) dst[n++] = *b;
    dst[n] = '\0';
}

bool is_executable(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string own_directory() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return std::string();
    std::string path(buf.data(), static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string search_path(const char* name) {
    const char* path = std::getenv("PATH");
    if (!path) return std::string();
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (is_executable(candidate)) return candidate;
    }
    return std::string();
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

std::string read_log_tail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > 2000) text.erase(0, text.size() - 2000);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

std::string find_kvcd(const std::string& explicit_path) {
    if (!explicit_path.empty()) return explicit_path;
    const char* env = std::getenv("KVCD");
    if (env && *env) return env;
    std::string dir = own_directory();
    if (!dir.empty()) {
        for (const char* rel : {"/../server/kvcd", "/kvcd", "/../../server/kvcd"}) {
            std::string candidate = dir + rel;
            if (is_executable(candidate)) return candidate;
        }
    }
    return search_path("kvcd");
}

std::string EmbeddedServer::start(const std::string& kvcd_path, const std::string& db_path) {
    if (!is_executable(kvcd_path)) return "cannot run kvcd at " + kvcd_path;
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvcsql.XXXXXX";
    if (!mkdtemp(&tmpl[0])) return "cannot make a temporary folder " + tmpl + ": " + std::strerror(errno);
    temp_dir_ = tmpl;
    if (db_path.empty() && temp_dir_.size() < sizeof g_temp_dir)
        std::memcpy(g_temp_dir, temp_dir_.c_str(), temp_dir_.size() + 1);
    db_path_ = db_path.empty() ? temp_dir_ + "/kvcsql.db" : db_path;
    log_path_ = temp_dir_ + "/kvcd.log";

    int port_pipe[2];
    if (pipe2(port_pipe, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    pid_t pid = fork();
    if (pid < 0) {
        close(port_pipe[0]);
        close(port_pipe[1]);
        return std::string("fork: ") + std::strerror(errno);
    }
    if (pid == 0) {
        // Own process group: a Ctrl-C typed at the shell must not reach the
        // server; and the server ends with kvcsql even if kvcsql is killed.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(port_pipe[1], STDOUT_FILENO);
        int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log >= 0) dup2(log, STDERR_FILENO);
        int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, STDIN_FILENO);
        execl(kvcd_path.c_str(), kvcd_path.c_str(), "--listen", "127.0.0.1", "--port", "0", "--db",
              db_path_.c_str(), "--print-port", "--exit-with-parent", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(port_pipe[1]);
    pid_ = pid;
    g_server_pid = pid;

    // The server prints its port on one line once it listens.
    std::string line;
    const int timeout_ms = 15000;
    int waited = 0;
    while (line.find('\n') == std::string::npos && waited < timeout_ms) {
        struct pollfd pfd = {port_pipe[0], POLLIN, 0};
        int ready = poll(&pfd, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            waited += 100;
            continue;
        }
        char buf[64];
        ssize_t n = read(port_pipe[0], buf, sizeof buf);
        if (n <= 0) break;  // the server ended before printing its port
        line.append(buf, static_cast<size_t>(n));
    }
    close(port_pipe[0]);
    // The first number on the line is the port, whatever words surround it.
    auto digits = line.find_first_of("0123456789");
    port_ = digits == std::string::npos ? 0 : std::atoi(line.c_str() + digits);
    if (port_ <= 0 || port_ > 65535) {
        std::string log = read_log_tail(log_path_);
        stop();
        return "kvcd did not report its port" + (log.empty() ? std::string() : ":\n" + log);
    }
    return std::string();
}

void EmbeddedServer::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        // A server that ignores SIGTERM for 5 s is killed.
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, &status, WNOHANG) != 0) {
                pid_ = -1;
                break;
            }
            usleep(100000);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        g_server_pid = -1;
    }
    g_temp_dir[0] = '\0';
    if (!temp_dir_.empty()) {
        nftw(temp_dir_.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
        temp_dir_.clear();
    }
    port_ = 0;
}

void EmbeddedServer::stop_from_signal() {
    pid_t pid = g_server_pid;
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status;
        waitpid(pid, &status, 0);
    }
    if (g_temp_dir[0]) {
        // The database and what SQLite and kvcd may have put beside it.
        static const char* const kFiles[] = {"/kvcsql.db", "/kvcsql.db-journal", "/kvcsql.db-wal",
                                             "/kvcsql.db-shm", "/kvcd.log"};
        char path[sizeof g_temp_dir + 32];
        for (const char* name : kFiles) {
            join_path(path, sizeof path, g_temp_dir, name);
            unlink(path);
        }
        rmdir(g_temp_dir);
    }
}

}  // namespace kvcsql
