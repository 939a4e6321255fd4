#include "options.h"

#include <cstring>

namespace kvcsql {

namespace {

bool is(const char* arg, const char* short_name, const char* long_name) {
    return (short_name && std::strcmp(arg, short_name) == 0) ||
           (long_name && std::strcmp(arg, long_name) == 0);
}

}  // namespace

std::string parse_options(int argc, const char* const* argv, Options& opts) {
    bool only_positional = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (only_positional || arg[0] != '-') {
            if (!opts.conn_str.empty()) return std::string("unexpected argument: ") + arg;
            opts.conn_str = arg;
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            only_positional = true;
            continue;
        }
        // Options that take a value accept "--name value" and "--name=value".
        std::string name = arg;
        std::string inline_value;
        bool has_inline = false;
        if (name.compare(0, 2, "--") == 0) {
            auto eq = name.find('=');
            if (eq != std::string::npos) {
                inline_value = name.substr(eq + 1);
                name.erase(eq);
                has_inline = true;
            }
        }
        auto take_value = [&](std::string& out) -> bool {
            if (has_inline) {
                out = inline_value;
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const char* n = name.c_str();
        std::string value;
        if (is(n, "-c", "--command")) {
            if (!take_value(value)) return name + " needs an SQL text";
            opts.scripts.push_back({ScriptSource::Command, value});
        } else if (is(n, "-f", "--file")) {
            if (!take_value(value)) return name + " needs a file name";
            opts.scripts.push_back({ScriptSource::File, value});
        } else if (is(n, nullptr, "--db")) {
            if (!take_value(opts.db_path)) return name + " needs a database path";
        } else if (is(n, nullptr, "--kvcd")) {
            if (!take_value(opts.kvcd_path)) return name + " needs the path of kvcd";
        } else if (has_inline) {
            return "option " + name + " takes no value";
        } else if (is(n, nullptr, "--csv")) {
            opts.csv = true;
        } else if (is(n, nullptr, "--ssl")) {
            opts.ssl = true;
        } else if (is(n, nullptr, "--timing")) {
            opts.timing = true;
        } else if (is(n, "-q", "--quiet")) {
            opts.quiet = true;
        } else if (is(n, "-b", "--stop-on-error")) {
            opts.stop_on_error = true;
        } else if (is(n, "-e", "--echo")) {
            opts.echo = true;
        } else if (is(n, nullptr, "--trace")) {
            opts.trace = true;
        } else if (is(n, "-h", "--help")) {
            opts.help = true;
        } else if (is(n, nullptr, "--version")) {
            opts.version = true;
        } else {
            return "unknown option: " + name;
        }
    }
    return std::string();
}

std::string usage_text() {
    return
        "Usage: kvcsql [OPTION]... [CONNECTION-STRING]\n"
        "\n"
        "Interactive SQL shell of libkvc. CONNECTION-STRING names a running server,\n"
        "e.g. \"IP=127.0.0.1;PORT=5000;DB=SALES;USER=APP;PWD=secret\". Without it kvcsql\n"
        "starts an embedded kvcd on a free loopback port with a temporary database\n"
        "and stops it at exit.\n"
        "\n"
        "Options:\n"
        "  -c, --command SQL     run SQL (may be repeated; statements end with \";\")\n"
        "  -f, --file FILE       run the statements of FILE (\"-\": standard input)\n"
        "      --csv             print results as CSV (NULL is an empty field)\n"
        "      --ssl             use the encrypted login (USE_SSL=on)\n"
        "      --timing          print the time each statement takes\n"
        "  -q, --quiet           print rows only: no row-count footers or counts\n"
        "  -b, --stop-on-error   stop a script at its first failing statement\n"
        "  -e, --echo            print each line of a script before what it produces\n"
        "      --trace           let the library's own diagnostic lines through to stderr\n"
        "      --db PATH         embedded server: use database PATH (kept after exit)\n"
        "      --kvcd PATH       embedded server: the kvcd program to start\n"
        "  -h, --help            show this help\n"
        "      --version         show the version\n"
        "\n"
        "Without -c or -f, statements are read from standard input: with line editing\n"
        "and history (~/.kvcsql_history) on a terminal, as a script otherwise.\n"
        "The exit status is 0 when every statement succeeded, 1 when one failed in\n"
        "a script, 2 when the connection or the embedded server could not be set up.\n"
        "The embedded kvcd is found in $KVCD, next to kvcsql in the build tree, or on PATH.\n"
        "\n"
        "Meta-commands (a line that starts with a backslash):\n"
        "  \\q                        quit\n"
        "  \\timing [on|off]          show the time each statement takes\n"
        "  \\csv [on|off]             switch CSV output\n"
        "  \\bind ARG...              parameters for the next statement, \\call or \\batch\n"
        "  \\prepare SQL              prepare SQL under a new name (STCn) and show it\n"
        "  \\execute NAME [ARG...]    execute a prepared statement with parameters\n"
        "  \\deallocate NAME          release a prepared statement\n"
        "  \\call SQL                 call a procedure; the \\bind parameters marked out,\n"
        "                            inout: or ret receive its output values\n"
        "  \\batch SQL                run SQL once per following line of ARGs, up to \"\\.\"\n"
        "  \\declare CURSOR SQL       declare and open a server cursor over SQL\n"
        "  \\fetch CURSOR [N]         fetch N rows (default 20000) from a cursor\n"
        "  \\close CURSOR             close a cursor\n"
        "  \\?                        show this help\n"
        "\n"
        "Parameter ARGs: 42 (integer), 4.5 (double), 'text' (quote doubled inside),\n"
        "NULL, clob:'text', clob:@FILE, blob:@FILE (large objects), out (an output\n"
        "parameter), inout:ARG (input-output), ret (the return value).\n";
}

std::string effective_conn_str(const std::string& conn_str, bool ssl) {
    std::string result = conn_str;
    bool has_semicolon = result.find(';') != std::string::npos;
    bool has_comma = result.find(',') != std::string::npos;
    char separator = (has_semicolon || !has_comma) ? ';' : ',';
    if (ssl) {
        if (!result.empty() && result.back() != separator) result += separator;
        result += "USE_SSL=on";
    }
    // A text without any separator is ignored by the parser: give it one.
    if (result.find(';') == std::string::npos && result.find(',') == std::string::npos)
        result += ';';
    return result;
}

}  // namespace kvcsql
