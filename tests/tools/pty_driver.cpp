// Runs a program on a pseudo-terminal, as a person at a terminal would:
//   kvcsql_pty_driver [--expect TEXT | --send LINE | --keys KEYS]... -- PROGRAM [ARG]...
// Each --expect waits (20 s at most) for TEXT to appear in the output after
// the previous match; each --send types LINE and Enter; --keys types KEYS
// as they are (Tab, Ctrl-C). Afterwards the program
// must end by itself with status 0. Prints the transcript; exit 0 on success.
#include <pty.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const int kStepTimeoutMs = 20000;

using Clock = std::chrono::steady_clock;

struct Step {
    enum Kind { Expect, Send, Keys } kind;
    std::string text;
};

// Reads what the program wrote within timeout_ms; false at its end.
bool read_some(int fd, std::string& transcript, int timeout_ms) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready <= 0) return ready == 0 || errno == EINTR;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;  // EIO: the program closed the terminal
    transcript.append(buf, static_cast<size_t>(n));
    return true;
}

int fail(const std::string& why, const std::string& transcript) {
    std::fprintf(stderr, "pty_driver: %s\n--- transcript ---\n%s\n--- end ---\n", why.c_str(), transcript.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Step> steps;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if ((arg == "--expect" || arg == "--send" || arg == "--keys") && i + 1 < argc) {
            Step::Kind kind = arg == "--expect" ? Step::Expect : arg == "--send" ? Step::Send : Step::Keys;
            steps.push_back({kind, argv[++i]});
        } else {
            std::fprintf(stderr, "usage: %s [--expect TEXT | --send LINE | --keys KEYS]... -- PROGRAM [ARG]...\n",
                         argv[0]);
            return 2;
        }
    }
    if (i >= argc) return fail("no program given", "");

    struct winsize size = {};
    size.ws_row = 40;
    size.ws_col = 120;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) return fail(std::string("forkpty: ") + std::strerror(errno), "");
    if (pid == 0) {
        execvp(argv[i], argv + i);
        std::perror("exec");
        _exit(127);
    }

    std::string transcript;
    size_t searched_from = 0;
    for (const Step& step : steps) {
        if (step.kind != Step::Expect) {
            std::string line = step.kind == Step::Send ? step.text + "\r" : step.text;
            if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                return fail("cannot type into the terminal", transcript);
            continue;
        }
        auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        for (;;) {
            size_t at = transcript.find(step.text, searched_from);
            if (at != std::string::npos) {
                searched_from = at + step.text.size();
                break;
            }
            if (Clock::now() > deadline) return fail("timed out waiting for: " + step.text, transcript);
            if (!read_some(master, transcript, 200)) return fail("program ended before: " + step.text, transcript);
        }
    }

    // The program must now end on its own.
    auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return fail("the program did not end", transcript);
        }
        read_some(master, transcript, 100);
    }
    while (read_some(master, transcript, 50) && transcript.size() < (1u << 20)) {
    }
    close(master);
    std::printf("%s\n", transcript.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail("the program ended with status " + std::to_string(status), transcript);
    return 0;
}
