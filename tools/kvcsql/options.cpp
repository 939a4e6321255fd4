#include "options.h"

#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace kvcsql {

namespace {

bool is(const char* arg, const char* short_name, const char* long_name) {
    return (short_name && std::strcmp(arg, short_name) == 0) ||
           (long_name && std::strcmp(arg, long_name) == 0);
}

// The item separator as the library chooses it: ";" when the text has one,
// else ",".
char separator_of(const std::string& conn_str) {
    bool has_semicolon = conn_str.find(';') != std::string::npos;
    bool has_comma = conn_str.find(',') != std::string::npos;
    return (has_semicolon || !has_comma) ? ';' : ',';
}

// Whether an item of the string has one of the keys (compared as the
// library does: blanks around the key dropped, case ignored).
bool has_key(const std::string& conn_str, std::initializer_list<const char*> keys) {
    const char separator = separator_of(conn_str);
    size_t start = 0;
    while (start <= conn_str.size()) {
        size_t end = conn_str.find(separator, start);
        if (end == std::string::npos) end = conn_str.size();
        std::string item = conn_str.substr(start, end - start);
        auto eq = item.find('=');
        if (eq != std::string::npos) {
            std::string key = item.substr(0, eq);
            key.erase(0, key.find_first_not_of(' '));
            key.erase(key.find_last_not_of(' ') + 1);
            for (const char* known : keys)
                if (strcasecmp(key.c_str(), known) == 0) return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

bool names_user_without_password(const std::string& conn_str) {
    return has_key(conn_str, {"USER", "UID", "USER ID", "USERID"}) && !has_key(conn_str, {"PWD", "PASSWORD"});
}

std::string with_password(const std::string& conn_str, const std::string& password) {
    const char separator = separator_of(conn_str);
    std::string result = conn_str;
    if (!result.empty() && result.back() != separator) result += separator;
    return result + "PWD=" + password;
}

namespace {

// The options that only switch something on.
struct Switch {
    const char* short_name;
    const char* long_name;
    bool Options::*flag;
};
const Switch kSwitches[] = {
    {nullptr, "--csv", &Options::csv},          {nullptr, "--json", &Options::json},
    {"-A", "--no-align", &Options::unaligned},  {"-x", "--expanded", &Options::expanded},
    {"-t", "--tuples-only", &Options::tuples_only}, {nullptr, "--ssl", &Options::ssl},
    {nullptr, "--timing", &Options::timing},    {"-q", "--quiet", &Options::quiet},
    {"-b", "--stop-on-error", &Options::stop_on_error}, {"-e", "--echo", &Options::echo},
    {nullptr, "--trace", &Options::trace},      {"-h", "--help", &Options::help},
    {nullptr, "--version", &Options::version},
};

bool* switch_named(Options& opts, const char* name) {
    for (const Switch& s : kSwitches)
        if (is(name, s.short_name, s.long_name)) return &(opts.*s.flag);
    return nullptr;
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
        } else if (is(n, "-F", "--field-separator")) {
            if (!take_value(opts.field_separator) || opts.field_separator.empty())
                return name + " needs a separator";
        } else if (is(n, nullptr, "--null")) {
            if (!take_value(opts.null_text)) return name + " needs a text";
            opts.has_null_text = true;
        } else if (is(n, "-v", "--set")) {
            if (!take_value(value)) return name + " needs NAME=VALUE";
            auto eq = value.find('=');
            if (eq == 0 || eq == std::string::npos) return name + " needs NAME=VALUE";
            opts.variables.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else if (has_inline) {
            return "option " + name + " takes no value";
        } else if (bool* flag = switch_named(opts, n)) {
            *flag = true;
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
        "e.g. \"IP=127.0.0.1;PORT=5000;DB=SALES;USER=APP\". Without it kvcsql starts an\n"
        "embedded kvcd on a free loopback port with a temporary database and stops it\n"
        "at exit. A string with a user and no password takes the password from\n"
        "$KVCPASSWORD, or asks for it on the terminal.\n"
        "\n"
        "Options:\n"
        "  -c, --command SQL     run SQL (may be repeated; statements end with \";\")\n"
        "  -f, --file FILE       run the statements of FILE (\"-\": standard input)\n"
        "  -v, --set NAME=VALUE  set variable NAME (used as :NAME in statements)\n"
        "      --csv             print results as CSV (NULL is an empty field)\n"
        "      --json            print each row as a JSON object on a line of its own\n"
        "  -A, --no-align        unaligned output: fields joined by the separator\n"
        "  -F, --field-separator SEP  the separator of unaligned output (default |)\n"
        "  -x, --expanded        one line per column, records one below the other\n"
        "  -t, --tuples-only     print rows only: no header, no footer\n"
        "      --null TEXT       show NULL as TEXT (default NULL)\n"
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
        "Without -c or -f, statements are read from standard input: on a terminal with\n"
        "line editing, Tab completion and history (~/.kvcsql_history), as a script\n"
        "otherwise. The exit status is 0 when every statement succeeded, 1 when one\n"
        "failed in a script, 2 when the connection or the embedded server could not be\n"
        "set up, or the connection broke during a script.\n"
        "The embedded kvcd is found in $KVCD, next to kvcsql in the build tree, or on PATH.\n"
        "Inside kvcsql, \\? lists the meta-commands.\n";
}

std::string meta_command_help() {
    return
        "Meta-commands (a line that starts with a backslash):\n"
        "  \\q                        quit\n"
        "  \\i FILE                   run the statements of FILE\n"
        "  \\o [FILE]                 send results to FILE (without FILE: back to the screen)\n"
        "  \\set [NAME [VALUE]]       set a variable (used as :NAME, or :'NAME' quoted); list them\n"
        "  \\unset NAME               remove a variable\n"
        "  \\timing [on|off]          show the time each statement takes\n"
        "  \\x [on|off]               expanded display: one line per column\n"
        "  \\csv [on|off]             switch CSV output\n"
        "  \\pset format aligned|unaligned|csv|json\n"
        "  \\pset null TEXT           show NULL as TEXT\n"
        "  \\pset fieldsep SEP        the separator of unaligned output\n"
        "  \\pset tuples_only [on|off]  rows only, no header or footer\n"
        "  \\bind ARG...              parameters for the next statement, \\call or \\batch\n"
        "  \\prepare SQL              prepare SQL under a new name (STCn) and show it\n"
        "  \\execute NAME [ARG...]    execute a prepared statement, one ARG per \"?\"\n"
        "  \\deallocate NAME          release a prepared statement\n"
        "  \\call SQL                 call a procedure; the \\bind parameters marked out,\n"
        "                            inout: or ret receive its output values\n"
        "  \\batch SQL                run SQL once per following line of ARGs, up to \"\\.\"\n"
        "  \\declare CURSOR SQL       declare and open a server cursor over SQL\n"
        "  \\fetch CURSOR [N]         fetch N rows (default 20000) from a cursor\n"
        "  \\close CURSOR             close a cursor\n"
        "  \\?                        show this list\n"
        "\n"
        "Parameter ARGs: 42 (integer), 4.5 (double), 'text' (quote doubled inside),\n"
        "NULL, clob:'text', clob:@FILE, blob:@FILE (large objects), out (an output\n"
        "parameter), inout:ARG (input-output), ret (the return value).\n"
        "Ctrl-C cancels a running statement (the connection is dropped and made again).\n";
}

std::string effective_conn_str(const std::string& conn_str, bool ssl) {
    std::string result = conn_str;
    const char separator = separator_of(result);
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
