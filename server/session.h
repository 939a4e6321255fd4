// One client connection: the login, then commands until the client leaves.
// Each session has its own SQLite connection and runs on its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "channel.h"
#include "config.h"
#include "lobs.h"
#include "login.h"
#include "params.h"
#include "results.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kvcd {

struct ServerContext {
    const Config* cfg = nullptr;
    const RsaKeyPair* rsa = nullptr;
    std::string memory_uri;  // set when the database is ":memory:"
    LoginThrottle* throttle = nullptr;
    const std::atomic<bool>* stopping = nullptr;  // set at shutdown: statements stop
    // Called once a login is accepted, before it is answered; false refuses
    // it (the limit of logged-in sessions is reached).
    std::function<bool(int fd)> admit;
};

class Session {
public:
    Session(int fd, std::string peer, uint64_t id, const ServerContext& ctx);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs to the end of the connection; never throws.
    void run();

private:
    enum class Outcome { Ok, Failed, Abandoned };
    struct Cursor {
        sqlite3_stmt* stmt = nullptr;
        std::vector<ColumnPlan> plan;
        int step_rc = 0;  // result of the last step: the next row is pending when SQLITE_ROW
        bool opened = false;
        int64_t rows_sent = 0;
    };

    bool login();
    void refuse(const std::string& why);
    std::string open_database();

    void command_loop();
    void dispatch(const std::string& text, uint32_t header);
    void run_script(const std::string& sql, const std::vector<ParamValue>& params);
    Outcome execute_statement(sqlite3_stmt* st, int continue_every);
    void run_batch(const std::string& text, int count, int rows);

    void cmd_prepare(std::string rest);
    void cmd_execute(std::string rest, const std::vector<ParamValue>& params);
    void cmd_deallocate(std::string rest);
    void cmd_declare(std::string rest, const std::vector<ParamValue>& params);
    void cmd_open(std::string rest);
    void cmd_fetch(std::string rest);
    void cmd_close(std::string rest);
    void cmd_version();
    void cmd_get_lob(std::string rest);
    void cmd_call(std::string rest, const std::vector<ParamValue>& params);

    // The description and rows of a result (see stream_rows); a value that
    // does not fit ends it with an error.
    StreamOutcome send_rows(ResultWriter& w, sqlite3_stmt* st, int* rc, int64_t max_rows, int continue_every);
    // Prepares exactly one statement; null with `error` set otherwise.
    sqlite3_stmt* prepare_single(const std::string& sql, std::string& error);
    void ensure_transaction(sqlite3_stmt* st);
    bool exec_simple(const char* sql, std::string* error = nullptr);
    void put_error(const std::string& text);
    void put_end();
    void log(const std::string& what) const;

    // Why the running statement must stop (time-out, client gone, shutdown), or "".
    std::string stop_reason();
    static int on_progress(void* self);
    static int on_busy(void* self, int attempt);
    // The failed statement's error: SQLite's text, or why it was stopped.
    std::string db_error() const;

    static void on_row_change(void* self, int op, const char* db, const char* table, long long rowid);

    const ServerContext& ctx_;
    const Limits& lim_;
    Channel ch_;
    std::string peer_;
    uint64_t id_;
    sqlite3* db_ = nullptr;
    LoginInfo login_;
    std::map<std::string, sqlite3_stmt*> prepared_;
    std::map<std::string, Cursor> cursors_;
    LobCache lobs_;
    bool capturing_inserts_ = false;
    bool inserts_overflowed_ = false;
    std::vector<int64_t> inserted_rowids_;
    int lock_wait_ms_ = 30000;
    std::string stopped_;  // set when the current request's statement was stopped
    std::chrono::steady_clock::time_point statement_deadline_, next_peer_check_;
};

}  // namespace kvcd
