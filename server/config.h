// Server options and the limits that protect it from a broken or hostile client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvcd {

struct Limits {
    size_t max_command_bytes = 4u << 20;   // command text
    int max_params = 4000;                 // parameters per row (the library's own bound)
    size_t max_value_bytes = 256u << 20;   // one parameter value
    size_t max_request_bytes = 512u << 20; // all parameter values of one single-row request
    size_t max_block_bytes = 64u << 20;    // one batch block
    size_t max_name_bytes = 1024;          // parameter name
    int stall_ms = 60000;                  // a begun message must keep arriving
    int login_ms = 5000;                   // the login must be complete by then
    int max_connections = 1024;            // logged-in sessions
    int max_pending_logins = 64;           // connections not yet logged in
    int max_prepared = 4096;               // per session
    int max_cursors = 256;                 // per session
    size_t lob_cache_bytes = 512u << 20;   // LOBs held for descriptor fetches, per session
    int64_t max_fetch_rows = 1000000;      // rows per FETCH
};

struct Config {
    std::string listen = "127.0.0.1";
    int port = 5000;
    std::string db_path;   // single database file, or ":memory:"
    std::string data_dir;  // one database per login name
    bool print_port = false;
    std::vector<std::pair<std::string, std::string>> users;
    int protocol = 301;
    bool verbose = false;
    int idle_exit_seconds = 0;
    int idle_timeout_seconds = 0;       // logged-in sessions idle longer are closed; 0: never
    int statement_timeout_seconds = 0;  // a request's statements stop after this; 0: never
    bool exit_with_parent = false;
    bool allow_anyone = false;
    size_t max_memory_bytes = 0;  // server-wide budget; 0: half the machine's memory  // no --user while listening beyond loopback
    Limits limits;
};

}  // namespace kvcd
