// kvcsql: the interactive SQL shell of libkvc.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <kvc.h>
#include <sstream>
#include <streambuf>
#include <termios.h>
#include <unistd.h>

#include "embedded_server.h"
#include "interrupt.h"
#include "line_reader.h"
#include "options.h"
#include "shell.h"

using namespace kvcsql;

namespace {

const char kVersion[] = "kvcsql 1.0.0";

// An ostream over a C stream: the results go to a duplicate of the original
// standard output, since descriptor 1 itself carries the library's own
// diagnostic lines and is routed away from the results.
class FileStreamBuf : public std::streambuf {
public:
    explicit FileStreamBuf(FILE* file) : file_(file) {}

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<size_t>(n), file_));
    }
    int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

private:
    FILE* file_;
};

// Moves descriptor 1 to /dev/null (or to standard error with --trace) and
// returns a stream on the original standard output for the results.
FILE* separate_results_from_library_output(bool trace) {
    std::fflush(stdout);
    int results_fd = dup(STDOUT_FILENO);
    if (results_fd < 0) return stdout;
    int target = trace ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (target >= 0) {
        dup2(target, STDOUT_FILENO);
        close(target);
    }
    FILE* results = fdopen(results_fd, "w");
    return results ? results : stdout;
}

void stop_server_and_die(int sig) {
    EmbeddedServer::stop_from_signal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void interrupt_typing(int) {
    // At the prompt Ctrl-C drops the statement being typed; during a
    // statement it cancels it. The embedded server, in its own process
    // group, never sees the Ctrl-C.
    note_interrupt();
}

// Reads a password from the terminal without echoing it; "" when there is
// no terminal to ask on.
std::string ask_password() {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return std::string();
    int fd = fileno(tty);
    struct termios saved;
    bool have_terminal = tcgetattr(fd, &saved) == 0;
    if (have_terminal) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fputs("Password: ", tty);
    std::fflush(tty);
    char buffer[256] = {0};
    std::string password;
    if (std::fgets(buffer, sizeof buffer, tty)) password = buffer;
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
    if (have_terminal) tcsetattr(fd, TCSAFLUSH, &saved);
    std::fclose(tty);
    return password;
}

// LOB_RET=on: large objects arrive as a form byte and content or descriptor.
bool returns_lob_descriptors(void** conn) {
    char value[16] = {0};
    int type = 0, length = 0;
    if (KVC_GetAttr(conn, KVC_ATTR_LOB_RET, value, sizeof value - 1, &type, &length) != KVC_OK) return false;
    if (type == KVC_ATTR_TYPE_INT32) {
        int32_t flag = 0;
        std::memcpy(&flag, value, sizeof flag);
        return flag != 0;
    }
    return strcasecmp(value, "on") == 0 || strcasecmp(value, "true") == 0 || std::strcmp(value, "1") == 0;
}

ShellSettings settings_from(const Options& opts) {
    ShellSettings settings;
    OutputFormat& format = settings.format;
    if (opts.csv) format.kind = OutputFormat::Kind::Csv;
    if (opts.json) format.kind = OutputFormat::Kind::Json;
    if (opts.unaligned) format.kind = OutputFormat::Kind::Unaligned;
    format.expanded = opts.expanded;
    format.tuples_only = opts.tuples_only;
    format.field_separator = opts.field_separator;
    if (opts.has_null_text) format.null_text = opts.null_text;
    settings.timing = opts.timing;
    settings.quiet = opts.quiet;
    settings.stop_on_error = opts.stop_on_error;
    settings.echo = opts.echo;
    settings.progress = isatty(STDERR_FILENO);
    return settings;
}

void install_signal_handlers(bool interactive) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = stop_server_and_die;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    if (interactive) action.sa_handler = interrupt_typing;  // no SA_RESTART: the read must return
    sigaction(SIGINT, &action, nullptr);
    // A closed output pipe (kvcsql ... | head) ends the write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
}

// "CODE: message" of a failed open, from the handle's error text.
std::string open_failure_text(void** conn, int status) {
    char code[8] = {0};
    char message[300] = {0};
    int length = KVC_GetErrorLen(conn);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    int copied = 0;
    if (length > 0) KVC_GetError(conn, &text[0], &copied);
    std::string result = "cannot connect";
    if (KVC_GetErrorInfo(conn, code, message) != KVC_NO_MORE) result += std::string(" ") + code;
    result += ": " + (text.empty() ? std::string("status ") + std::to_string(status) : trim(text));
    return result;
}

std::string server_version(void** conn) {
    char value[256] = {0};
    int type = 0, length = 0;
    if (KVC_GetAttr(conn, KVC_ATTR_SERVER_VERSION, value, sizeof value - 1, &type, &length) != KVC_OK)
        return std::string();
    if (length < 0 || length >= static_cast<int>(sizeof value)) length = 0;
    return std::string(value, static_cast<size_t>(length));
}

}  // namespace

int main(int argc, char** argv) {
    Options opts;
    std::string error = parse_options(argc, argv, opts);
    if (!error.empty()) {
        std::cerr << "kvcsql: " << error << "\nTry 'kvcsql --help'.\n";
        return 2;
    }
    if (opts.help) {
        std::cout << usage_text();
        return 0;
    }
    if (opts.version) {
        std::cout << kVersion << "\n";
        return 0;
    }

    // Character widths follow the user's locale; numbers keep the C form.
    std::setlocale(LC_CTYPE, "");
    const bool interactive = opts.scripts.empty() && isatty(STDIN_FILENO);
    FILE* results = separate_results_from_library_output(opts.trace);
    FileStreamBuf results_buf(results);
    std::ostream out(&results_buf);
    install_signal_handlers(interactive);

    EmbeddedServer server;
    std::string conn_str = opts.conn_str;
    if (conn_str.empty()) {
        std::string kvcd = find_kvcd(opts.kvcd_path);
        if (kvcd.empty()) {
            std::cerr << "kvcsql: no server named and no kvcd found (set KVCD or use --kvcd)\n";
            return 2;
        }
        error = server.start(kvcd, opts.db_path);
        if (!error.empty()) {
            std::cerr << "kvcsql: cannot start the embedded server: " << error << "\n";
            return 2;
        }
        conn_str = "IP=127.0.0.1;PORT=" + std::to_string(server.port()) + ";DB=kvcsql;USER=kvcsql;PWD=kvcsql";
    }
    conn_str = effective_conn_str(conn_str, opts.ssl);
    if (names_user_without_password(conn_str)) {
        const char* from_environment = std::getenv("KVCPASSWORD");
        std::string password = from_environment ? from_environment : ask_password();
        if (!password.empty()) conn_str = with_password(conn_str, password);
    }

    void* conn = nullptr;
    int status = KVC_OpenConn(conn_str.c_str(), &conn);
    if (status != KVC_OPEN_OK) {
        std::cerr << "kvcsql: " << open_failure_text(&conn, status) << "\n";
        if (conn) KVC_CloseConn(&conn);
        return 2;
    }

    ShellSettings settings = settings_from(opts);
    settings.lob_descriptors = returns_lob_descriptors(&conn);
    Shell shell(&conn, out, std::cerr, settings);
    for (const auto& variable : opts.variables) shell.set_variable(variable.first, variable.second);

    if (!opts.scripts.empty()) {
        for (const ScriptSource& source : opts.scripts) {
            if (shell.quit_requested() || shell.connection_lost() || (shell.failed() && opts.stop_on_error)) break;
            if (source.kind == ScriptSource::Command) {
                std::istringstream text(source.text);
                StreamLineReader reader(text);
                shell.run(reader, false);
            } else if (source.text == "-") {
                StreamLineReader reader(std::cin);
                shell.run(reader, false, "<stdin>");
            } else {
                std::ifstream file(source.text);
                if (!file) {
                    std::cerr << "kvcsql: cannot read " << source.text << "\n";
                    KVC_CloseConn(&conn);
                    return 2;
                }
                StreamLineReader reader(file);
                shell.run(reader, false, source.text);
            }
        }
    } else if (interactive) {
        std::string version = server_version(&conn);
        out << kVersion << (version.empty() ? "" : ", server " + version)
            << (server.port() ? ", embedded kvcd on port " + std::to_string(server.port()) : std::string())
            << (opts.ssl ? ", encrypted" : "") << "\nType \\? for help, \\q to quit.\n";
        auto complete = [&shell](const std::string& prefix) { return shell.completions(prefix); };
        auto reader = make_terminal_reader(results, complete);
        shell.run(*reader, true);
        out << "\n";
    } else {
        StreamLineReader reader(std::cin);
        shell.run(reader, false, "<stdin>");
    }
    out.flush();
    KVC_CloseConn(&conn);
    server.stop();
    if (shell.connection_lost()) return 2;
    return (!interactive && shell.failed()) ? 1 : 0;
}
