// Command-line options of kvcsql.
#pragma once

#include <string>
#include <vector>

namespace kvcsql {

// One source of statements, run in the order given on the command line.
struct ScriptSource {
    enum Kind { Command, File } kind;
    std::string text;  // the SQL of -c, or the path of -f ("-" is standard input)
};

struct Options {
    std::string conn_str;                // empty: start an embedded kvcd
    std::vector<ScriptSource> scripts;   // empty: standard input (interactive on a terminal)
    bool csv = false;
    bool json = false;           // one JSON object per row
    bool unaligned = false;      // -A: fields joined by field_separator
    bool expanded = false;       // -x: one line per column
    bool tuples_only = false;    // -t: rows only
    std::string field_separator = "|";
    bool has_null_text = false;
    std::string null_text;       // --null: how NULL is shown
    std::vector<std::pair<std::string, std::string>> variables;  // -v NAME=VALUE
    bool ssl = false;
    bool timing = false;
    bool quiet = false;          // no row-count footers and no counts
    bool stop_on_error = false;  // stop a script at its first failing statement
    bool echo = false;           // print each input line of a script before its output
    bool trace = false;          // let the library's own diagnostic lines through to stderr
    std::string db_path;         // embedded server: database file instead of a temporary one
    std::string kvcd_path;       // embedded server: the kvcd program to start
    bool help = false;
    bool version = false;
};

// Parses argv into opts. Returns an empty string on success, else a message
// for the user (the caller prints it with the usage hint and exits 2).
std::string parse_options(int argc, const char* const* argv, Options& opts);

// The text of --help.
std::string usage_text();

// The text of \?: the meta-commands.
std::string meta_command_help();

// The connection string as the library should receive it: an "IP=..." string
// without any separator is not parsed by the library, so a trailing ";" is
// added; --ssl appends USE_SSL=on with the separator the string already uses.
std::string effective_conn_str(const std::string& conn_str, bool ssl);

// True when the connection string names a user but gives no password.
bool names_user_without_password(const std::string& conn_str);

// The connection string with a password item added (with the separator the
// string uses).
std::string with_password(const std::string& conn_str, const std::string& password);

}  // namespace kvcsql
