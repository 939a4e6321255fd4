#include "session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sqlite3.h>
#include <strings.h>
#include <thread>

#include "cipher.h"
#include "log.h"
#include "procedures.h"
#include "types.h"

namespace kvcd {

namespace {

// Row ids kept for the 'I' messages of one statement; beyond this an insert
// is answered with its count.
constexpr size_t kMaxInsertIds = 100000;
// Rows of a result set inside a procedure reply go in batches of this many,
// each after the client's continue request.
constexpr int kProcedureRowBatch = 200;
// SQLite asks whether to go on after this many virtual machine steps.
constexpr int kProgressSteps = 10000;

struct StmtGuard {
    sqlite3_stmt* st;
    ~StmtGuard() { sqlite3_finalize(st); }
};

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && (is_blank(s[e - 1]) || s[e - 1] == ';')) --e;
    return s.substr(b, e - b);
}

// Consumes `kw` (any letter case) when it stands at the start of s as a whole
// word, and the blanks after it.
bool take_keyword(std::string& s, const char* kw) {
    size_t n = std::strlen(kw);
    if (s.size() < n || strncasecmp(s.c_str(), kw, n) != 0) return false;
    if (s.size() > n && !is_blank(s[n]) && s[n] != ';') return false;
    size_t i = n;
    while (i < s.size() && is_blank(s[i])) ++i;
    s.erase(0, i);
    return true;
}

// Next word: up to a blank, ';' or '('.
std::string take_word(std::string& s) {
    size_t i = 0;
    while (i < s.size() && !is_blank(s[i]) && s[i] != ';' && s[i] != '(') ++i;
    std::string w = s.substr(0, i);
    while (i < s.size() && is_blank(s[i])) ++i;
    s.erase(0, i);
    return w;
}

std::string first_keyword(const char* sql) {
    std::string s = sql ? sql : "";
    size_t i = 0;
    while (i < s.size() && (is_blank(s[i]) || s[i] == '(')) ++i;
    size_t b = i;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
    std::string w = s.substr(b, i - b);
    for (auto& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return w;
}

bool valid_database_name(const std::string& n) {
    if (n.empty() || n.size() > 64) return false;
    return std::all_of(n.begin(), n.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    });
}

// SQL reaches no file but the session's database: attaching another file
// (ATTACH, VACUUM INTO), detaching, and the pragmas that name folders are
// refused. A plain VACUUM attaches an unnamed temporary database, which
// touches no file the client chooses.
int authorize(void*, int action, const char* arg1, const char*, const char*, const char*) {
    switch (action) {
        case SQLITE_ATTACH: return arg1 && *arg1 ? SQLITE_DENY : SQLITE_OK;
        case SQLITE_DETACH: return SQLITE_DENY;
        case SQLITE_PRAGMA:
            return arg1 && (strcasecmp(arg1, "temp_store_directory") == 0 ||
                            strcasecmp(arg1, "data_store_directory") == 0)
                       ? SQLITE_DENY
                       : SQLITE_OK;
        default: return SQLITE_OK;
    }
}

bool accepted_char_set(const std::string& cs) {
    static const char* const kAccepted[] = {"", "UTF8", "UTF-8", "ASCII", "US-ASCII"};
    for (const char* a : kAccepted)
        if (strcasecmp(cs.c_str(), a) == 0) return true;
    return false;
}

}  // namespace

Session::Session(int fd, std::string peer, uint64_t id, const ServerContext& ctx)
    : ctx_(ctx),
      lim_(ctx.cfg->limits),
      ch_(fd, ctx.cfg->limits.login_ms),
      peer_(std::move(peer)),
      id_(id),
      lobs_(ctx.cfg->limits.lob_cache_bytes) {}

Session::~Session() {
    for (auto& p : prepared_) sqlite3_finalize(p.second);
    for (auto& c : cursors_) sqlite3_finalize(c.second.stmt);
    // Closing with a transaction open rolls it back.
    if (db_) sqlite3_close_v2(db_);
}

void Session::log(const std::string& what) const {
    log_line("session " + std::to_string(id_) + " (" + peer_ + "): " + what);
}

void Session::run() {
    try {
        ch_.set_deadline_ms(lim_.login_ms);
        if (!login()) return;
        ch_.set_deadline_ms(0);
        ch_.set_stall_ms(lim_.stall_ms);
        ch_.set_idle_ms(ctx_.cfg->idle_timeout_seconds * 1000);
        command_loop();
    } catch (const ProtocolError& e) {
        log(std::string("dropped: ") + e.what());
    } catch (const PeerGone& e) {
        log(std::string("connection lost: ") + e.what());
    } catch (const std::exception& e) {
        log(std::string("dropped after an internal error: ") + e.what());
    }
}

// ---- login -------------------------------------------------------------------

void Session::refuse(const std::string& why) {
    log("login refused: " + why);
    ch_.put_u8('E');
    ch_.put_string(why);
    ch_.flush();
}

bool Session::login() {
    uint8_t head[5];
    ch_.read_bytes(head, sizeof head);
    std::string text;
    if (std::memcmp(head, "~ssl~", 5) == 0) {
        ch_.put_bytes(ctx_.rsa->exponent_le().data(), 32);
        ch_.put_bytes(ctx_.rsa->modulus_le().data(), 32);
        ch_.flush();
        std::array<uint8_t, 32> key;
        read_encrypted_login(ch_, *ctx_.rsa, key, text);
        ch_.start_cipher(make_session_keystream(key.data()), make_session_keystream(key.data()));
        login_.encrypted = true;
    } else {
        // The plain text comes with no length: it is complete when it ends
        // with its version piece, and the library never sends more than 511 bytes.
        text.assign(reinterpret_cast<const char*>(head), sizeof head);
        constexpr size_t kMaxPlainLogin = 511;
        uint8_t buf[kMaxPlainLogin];
        while (!login_text_complete(text)) {
            if (text.size() >= kMaxPlainLogin) throw ProtocolError("login text incomplete after 511 bytes");
            size_t got = ch_.read_some(buf, kMaxPlainLogin - text.size());
            text.append(reinterpret_cast<const char*>(buf), got);
        }
    }
    std::string error;
    if (!parse_login_text(text, login_, error)) {
        refuse(error);
        return false;
    }
    const auto& users = ctx_.cfg->users;
    if (!users.empty() &&
        std::none_of(users.begin(), users.end(), [&](const std::pair<std::string, std::string>& u) {
            return u.first == login_.user && u.second == login_.password;
        })) {
        // The address without its port: guesses come from many connections.
        const auto wait = ctx_.throttle->record_failure(peer_.substr(0, peer_.rfind(':')));
        if (wait.count() > 0) std::this_thread::sleep_for(wait);
        refuse("login refused: unknown user or wrong password");
        return false;
    }
    if (ctx_.admit && !ctx_.admit(ch_.fd())) {
        refuse("too many sessions: the server's limit of " + std::to_string(lim_.max_connections) + " is reached");
        return false;
    }
    if (!accepted_char_set(login_.char_set)) {
        refuse("character set " + login_.char_set + " is not supported; use UTF8");
        return false;
    }
    error = open_database();
    if (!error.empty()) {
        refuse(error);
        return false;
    }
    if (ctx_.cfg->protocol == 201) {
        ch_.put_u8('K');
    } else {
        ch_.put_u8('N');
        ch_.put_i32(ctx_.cfg->protocol);
        ch_.put_u8('K');
    }
    ch_.flush();
    if (verbose())
        log("logged in as " + login_.user + " to " + login_.database + (login_.encrypted ? " (encrypted)" : ""));
    return true;
}

std::string Session::open_database() {
    const Config& cfg = *ctx_.cfg;
    std::string target;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (!ctx_.memory_uri.empty()) {
        target = ctx_.memory_uri;
        flags |= SQLITE_OPEN_URI;
    } else if (!cfg.db_path.empty()) {
        target = cfg.db_path;
    } else {
        if (!valid_database_name(login_.database))
            return "database name \"" + login_.database + "\" is not valid (letters, digits, '_' and '-' only)";
        target = cfg.data_dir + "/" + login_.database + ".db";
    }
    if (sqlite3_open_v2(target.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        std::string e = std::string("cannot open database: ") + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return e;
    }
    // lock_timeout is in seconds; without one a writer waits 30 seconds.
    lock_wait_ms_ = (login_.lock_timeout > 0 ? std::min(login_.lock_timeout, 86400) : 30) * 1000;
    sqlite3_busy_handler(db_, &Session::on_busy, this);
    sqlite3_progress_handler(db_, kProgressSteps, &Session::on_progress, this);
    if (ctx_.memory_uri.empty()) {
        exec_simple("PRAGMA journal_mode=WAL");
        exec_simple("PRAGMA synchronous=NORMAL");
    }
    if (!login_.current_schema.empty() && strcasecmp(login_.current_schema.c_str(), "main") != 0)
        log("current_schema " + login_.current_schema + " ignored: the database has one schema, main");
    register_builtin_functions(db_);
    // Defensive mode keeps SQL from corrupting the file (writable_schema and
    // the like); extensions stay unloadable.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    sqlite3_set_authorizer(db_, authorize, nullptr);
    sqlite3_update_hook(db_, &Session::on_row_change, this);
    return {};
}

// ---- statements that must stop --------------------------------------------------

std::string Session::stop_reason() {
    if (ctx_.stopping && ctx_.stopping->load()) return "the server is shutting down";
    const auto now = std::chrono::steady_clock::now();
    if (ctx_.cfg->statement_timeout_seconds > 0 && now > statement_deadline_)
        return "ran longer than the statement time-out of " + std::to_string(ctx_.cfg->statement_timeout_seconds) + " s";
    // The socket is looked at now and then, not at every check.
    if (now >= next_peer_check_) {
        next_peer_check_ = now + std::chrono::milliseconds(50);
        struct pollfd p{ch_.fd(), POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return "the client went away";
    }
    return {};
}

int Session::on_progress(void* self) {
    auto* s = static_cast<Session*>(self);
    if (!s->stopped_.empty()) return 1;
    s->stopped_ = s->stop_reason();
    return s->stopped_.empty() ? 0 : 1;
}

int Session::on_busy(void* self, int attempt) {
    auto* s = static_cast<Session*>(self);
    constexpr int kPauseMs = 10;
    if (int64_t(attempt) * kPauseMs >= s->lock_wait_ms_) return 0;
    if (s->stopped_.empty()) s->stopped_ = s->stop_reason();
    if (!s->stopped_.empty()) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
    return 1;
}

std::string Session::db_error() const {
    if (!stopped_.empty()) return "statement stopped: " + stopped_;
    return sqlite3_errmsg(db_);
}

void Session::on_row_change(void* self, int op, const char*, const char*, long long rowid) {
    auto* s = static_cast<Session*>(self);
    if (!s->capturing_inserts_ || op != SQLITE_INSERT) return;
    if (s->inserted_rowids_.size() < kMaxInsertIds) s->inserted_rowids_.push_back(rowid);
    else s->inserts_overflowed_ = true;
}

// ---- commands ----------------------------------------------------------------

void Session::put_error(const std::string& text) {
    ch_.put_u8('E');
    ch_.put_string(text);
}

void Session::put_end() { ch_.put_u8('K'); }

bool Session::exec_simple(const char* sql, std::string* error) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK && error) *error = msg ? msg : sqlite3_errstr(rc);
    sqlite3_free(msg);
    return rc == SQLITE_OK;
}

void Session::command_loop() {
    for (;;) {
        uint8_t tag;
        if (!ch_.next_message_byte(tag)) {
            if (verbose()) log("client closed the connection");
            return;
        }
        // A continue request that arrives after its reply was finished.
        if (tag == '.') continue;
        if (tag != '?') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", tag);
            throw ProtocolError(std::string("unexpected message tag ") + hex);
        }
        int32_t n = ch_.read_i32();
        if (n < 0 || static_cast<size_t>(n) > lim_.max_command_bytes)
            throw ProtocolError("command text length " + std::to_string(n) + " outside 0.." +
                                std::to_string(lim_.max_command_bytes));
        std::string text;
        ch_.read_into(text, static_cast<size_t>(n));
        if (ch_.read_u8() != 0) throw ProtocolError("command text not followed by its zero byte");
        uint32_t header = static_cast<uint32_t>(ch_.read_i32());
        if (verbose()) log("command: " + text.substr(0, 200));
        // Each request has the whole time-out for its statements.
        stopped_.clear();
        statement_deadline_ = std::chrono::steady_clock::now() +
                              std::chrono::seconds(ctx_.cfg->statement_timeout_seconds);
        dispatch(text, header);
        ch_.flush();
    }
}

void Session::dispatch(const std::string& text, uint32_t header) {
    const int count = static_cast<int>(header & 0xFFFF);
    const int rows = static_cast<int>(header >> 16);
    if (rows > 0) return run_batch(text, count, rows);
    std::vector<ParamValue> params;
    read_param_row(ch_, count, lim_, params);
    for (size_t k = 0; k < params.size(); ++k)
        if (!params[k].refused.empty()) {
            put_error("parameter " + std::to_string(k + 1) + ": " + params[k].refused);
            return put_end();
        }

    std::string rest = text;
    rest.erase(0, std::find_if(rest.begin(), rest.end(), [](char c) { return !is_blank(c); }) - rest.begin());
    if (!rest.empty() && rest[0] == '?') return cmd_execute(rest.substr(1), params);
    if (take_keyword(rest, "PREPARE")) return cmd_prepare(rest);
    if (take_keyword(rest, "DEALLOCATE")) return cmd_deallocate(rest);
    if (take_keyword(rest, "DECLARE")) return cmd_declare(rest, params);
    if (take_keyword(rest, "OPEN")) return cmd_open(rest);
    if (take_keyword(rest, "FETCH")) return cmd_fetch(rest);
    if (take_keyword(rest, "CLOSE")) return cmd_close(rest);
    if (take_keyword(rest, "CALL") || take_keyword(rest, "EXECUTE") || take_keyword(rest, "EXEC"))
        return cmd_call(rest, params);
    std::string probe = rest;
    if (take_keyword(probe, "SHOW") && strcasecmp(trim(probe).c_str(), "VERSION") == 0) return cmd_version();
    probe = rest;
    if (take_keyword(probe, "GET") && take_keyword(probe, "LOB")) return cmd_get_lob(probe);
    run_script(text, params);
}

void Session::ensure_transaction(sqlite3_stmt* st) {
    if (login_.auto_commit || !sqlite3_get_autocommit(db_)) return;
    static const char* const kControl[] = {"BEGIN", "COMMIT", "END", "ROLLBACK", "SAVEPOINT", "RELEASE"};
    std::string kw = first_keyword(sqlite3_sql(st));
    for (const char* c : kControl)
        if (kw == c) return;
    exec_simple("BEGIN");
}

void Session::run_script(const std::string& text, const std::vector<ParamValue>& params) {
    const std::string sql = quote_interval_type_names(text);
    const char* p = sql.c_str();
    const char* end = p + sql.size();
    size_t next_position = 0;
    std::vector<bool> used(params.size(), false);
    bool ok = true;
    while (p < end && ok) {
        sqlite3_stmt* st = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), &st, &tail) != SQLITE_OK) {
            put_error(db_error());
            ok = false;
            break;
        }
        if (!st) {
            if (tail == p) {  // an embedded zero byte: nothing more can be read
                put_error("command text holds a zero byte");
                ok = false;
            }
            p = tail;
            continue;
        }
        p = tail;
        StmtGuard guard{st};
        std::string err = bind_values(st, params, &next_position, &used);
        if (!err.empty()) {
            put_error(err);
            ok = false;
            break;
        }
        Outcome o = execute_statement(st, 0);
        if (o == Outcome::Abandoned) return;
        ok = o == Outcome::Ok;
    }
    if (ok) {
        size_t unused = static_cast<size_t>(std::count(used.begin(), used.end(), false));
        if (unused) {
            ch_.put_u8('W');
            ch_.put_string(std::to_string(unused) + " parameter(s) matched no statement and were ignored");
        }
    }
    put_end();
}

Session::Outcome Session::execute_statement(sqlite3_stmt* st, int continue_every) {
    ensure_transaction(st);
    inserted_rowids_.clear();
    inserts_overflowed_ = false;
    capturing_inserts_ = true;
    const int64_t changes_before = sqlite3_total_changes64(db_);
    int rc = sqlite3_step(st);
    Outcome outcome = Outcome::Ok;
    if (sqlite3_column_count(st) > 0) {
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            ResultWriter w(ch_, st, login_.lob_descriptors ? &lobs_ : nullptr);
            w.plan(rc == SQLITE_ROW);
            StreamEnd end = send_rows(w, st, &rc, INT64_MAX, continue_every).end;
            if (end == StreamEnd::Abandoned) outcome = Outcome::Abandoned;
            else if (end == StreamEnd::BadValue) outcome = Outcome::Failed;
        }
        if (outcome == Outcome::Ok && rc != SQLITE_DONE) {
            put_error(db_error());
            outcome = Outcome::Failed;
        }
    } else {
        while (rc == SQLITE_ROW) rc = sqlite3_step(st);
        if (rc != SQLITE_DONE) {
            put_error(db_error());
            outcome = Outcome::Failed;
        } else {
            // sqlite3_changes keeps the last DML's count through DDL statements.
            const int64_t changes = sqlite3_total_changes64(db_) != changes_before ? sqlite3_changes64(db_) : 0;
            const std::string kw = first_keyword(sqlite3_sql(st));
            if (kw == "DELETE") {
                ch_.put_u8('D');
                ch_.put_i32(static_cast<int32_t>(changes));
            } else if ((kw == "INSERT" || kw == "REPLACE") && changes > 0 && !inserts_overflowed_ &&
                       static_cast<int64_t>(inserted_rowids_.size()) >= changes) {
                // Rows a trigger inserted come first in the list.
                for (size_t k = inserted_rowids_.size() - static_cast<size_t>(changes); k < inserted_rowids_.size(); ++k) {
                    std::string id = std::to_string(inserted_rowids_[k]);
                    ch_.put_u8('I');
                    ch_.put_string(id);
                }
            } else {
                ch_.put_u8('U');
                ch_.put_i32(static_cast<int32_t>(changes));
            }
        }
    }
    capturing_inserts_ = false;
    sqlite3_reset(st);
    return outcome;
}

StreamOutcome Session::send_rows(ResultWriter& w, sqlite3_stmt* st, int* rc, int64_t max_rows, int continue_every) {
    // The first rows (up to kHeldRowBytes, and the first row of a procedure's
    // result) are encoded before the description goes: a value that does not
    // fit among them, or a failing step, fails the statement with an error
    // alone, which the client reports as the statement's failure. Beyond
    // them the error can only follow the rows already sent.
    constexpr size_t kHeldRowBytes = 256 * 1024;
    std::string held;
    int64_t held_rows = 0;
    while (*rc == SQLITE_ROW && held_rows < max_rows) {
        if (!w.encode_row()) {
            put_error(w.failure());
            return {StreamEnd::BadValue, 0};
        }
        if (continue_every > 0 || held.size() >= kHeldRowBytes || !w.hold_row(held)) break;
        ++held_rows;
        *rc = sqlite3_step(st);
    }
    if (*rc != SQLITE_ROW && *rc != SQLITE_DONE) return {StreamEnd::Error, 0};
    w.put_description();
    ch_.put_bytes(held.data(), held.size());
    StreamOutcome s = stream_rows(w, ch_, st, rc, max_rows - held_rows, continue_every);
    s.rows += held_rows;
    if (s.end == StreamEnd::BadValue) put_error(w.failure());
    return s;
}

sqlite3_stmt* Session::prepare_single(const std::string& text, std::string& error) {
    const std::string sql = quote_interval_type_names(text);
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, &tail) != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        return nullptr;
    }
    if (!st) {
        error = "no statement to run";
        return nullptr;
    }
    // Whatever follows must be blanks, ';' or comments: another statement or
    // text that does not parse is refused rather than silently dropped.
    const char* end = sql.c_str() + sql.size();
    for (const char* p = tail; p && p < end;) {
        sqlite3_stmt* next = nullptr;
        const char* next_tail = nullptr;
        int rc = sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), &next, &next_tail);
        sqlite3_finalize(next);
        if (rc != SQLITE_OK || next || next_tail == p) {
            error = rc != SQLITE_OK ? std::string("text after the statement: ") + sqlite3_errmsg(db_)
                                    : "only one statement is allowed here";
            sqlite3_finalize(st);
            return nullptr;
        }
        p = next_tail;
    }
    return st;
}

void Session::run_batch(const std::string& text, int count, int rows) {
    const bool typed = ctx_.cfg->protocol != 201;
    std::vector<ParamValue> header;
    read_param_row(ch_, count, lim_, header);

    std::string error;
    std::string sql = text;
    std::string probe = trim(text);
    if (!probe.empty() && probe[0] == '?') {
        auto it = prepared_.find(trim(probe.substr(1)));
        if (it == prepared_.end()) error = "prepared statement " + trim(probe.substr(1)) + " does not exist";
        else sql = sqlite3_sql(it->second);
    }
    sqlite3_stmt* st = error.empty() ? prepare_single(sql, error) : nullptr;
    StmtGuard guard{st};
    if (st && sqlite3_column_count(st) > 0) error = "a batch statement cannot return rows";

    // The whole batch is one transaction, or a savepoint inside the caller's.
    bool own_transaction = false;
    if (error.empty()) {
        ensure_transaction(st);
        own_transaction = sqlite3_get_autocommit(db_) != 0;
        if (!exec_simple(own_transaction ? "BEGIN IMMEDIATE" : "SAVEPOINT kvcd_batch", &error)) own_transaction = false;
    }
    const bool started = error.empty();
    int64_t total = 0;
    auto run_row = [&](const std::vector<ParamValue>& values) {
        if (!error.empty()) return;  // rows after a failure are read and dropped
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        size_t next = 0;
        error = bind_values(st, values, &next, nullptr);
        if (!error.empty()) return;
        int rc = sqlite3_step(st);
        if (rc != SQLITE_DONE) error = db_error();
        else total += sqlite3_changes64(db_);
    };
    run_row(header);
    int remaining = rows - 1;
    if (count == 0) {
        // Rows without values take no bytes: the library sends no blocks.
        for (; remaining > 0; --remaining) run_row(header);
    }
    std::vector<ParamValue> row(static_cast<size_t>(count));
    while (remaining > 0) {
        int32_t n = ch_.read_i32();
        if (n <= 0 || static_cast<size_t>(n) > lim_.max_block_bytes)
            throw ProtocolError("batch block length " + std::to_string(n) + " outside 1.." +
                                std::to_string(lim_.max_block_bytes));
        BlockReader r(ch_, static_cast<size_t>(n));
        while (!r.at_end()) {
            if (remaining == 0) throw ProtocolError("batch block holds more rows than the header announced");
            for (int k = 0; k < count; ++k)
                read_block_value(r, typed, header[static_cast<size_t>(k)], lim_, row[static_cast<size_t>(k)]);
            run_row(row);
            --remaining;
        }
    }
    if (st) sqlite3_reset(st);
    if (started) {
        if (error.empty()) {
            if (!exec_simple(own_transaction ? "COMMIT" : "RELEASE kvcd_batch", &error))
                exec_simple(own_transaction ? "ROLLBACK" : "ROLLBACK TO kvcd_batch; RELEASE kvcd_batch");
        } else {
            exec_simple(own_transaction ? "ROLLBACK" : "ROLLBACK TO kvcd_batch; RELEASE kvcd_batch");
        }
    }
    if (!error.empty()) {
        put_error(error);
    } else {
        ch_.put_u8('U');
        ch_.put_i32(static_cast<int32_t>(total));
    }
    put_end();
}

void Session::cmd_prepare(std::string rest) {
    std::string name = take_word(rest);
    if (name.empty() || !take_keyword(rest, "AS")) {
        put_error("PREPARE expects: PREPARE name AS statement");
        return put_end();
    }
    if (prepared_.count(name)) {
        put_error("prepared statement " + name + " already exists");
        return put_end();
    }
    if (prepared_.size() >= static_cast<size_t>(lim_.max_prepared)) {
        put_error("too many prepared statements (limit " + std::to_string(lim_.max_prepared) + ")");
        return put_end();
    }
    std::string error;
    sqlite3_stmt* st = prepare_single(rest, error);
    if (!st) {
        put_error(error);
        return put_end();
    }
    prepared_[name] = st;
    if (sqlite3_column_count(st) > 0) {
        ResultWriter w(ch_, st, nullptr);
        w.plan(false);
        w.put_description();
    }
    int n = sqlite3_bind_parameter_count(st);
    if (n > 0) {
        ch_.put_u8('$');
        ch_.put_i32(n);
        for (int k = 1; k <= n; ++k) {
            ch_.put_string(public_param_name(st, k));
            ch_.put_i32(k);
            ch_.put_i32(2);  // the client keeps this as a C type until bound: character string
            ch_.put_i32(0);
        }
    }
    put_end();
}

void Session::cmd_execute(std::string rest, const std::vector<ParamValue>& params) {
    std::string name = trim(rest);
    auto it = prepared_.find(name);
    if (it == prepared_.end()) {
        put_error("prepared statement " + name + " does not exist");
        return put_end();
    }
    sqlite3_stmt* st = it->second;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    size_t next = 0;
    std::string err = bind_values(st, params, &next, nullptr);
    if (!err.empty()) put_error(err);
    else if (execute_statement(st, 0) == Outcome::Abandoned) return;
    put_end();
}

void Session::cmd_deallocate(std::string rest) {
    std::string name = trim(rest);
    auto it = prepared_.find(name);
    if (it == prepared_.end()) {
        put_error("prepared statement " + name + " does not exist");
        return put_end();
    }
    sqlite3_finalize(it->second);
    prepared_.erase(it);
    put_end();
}

void Session::cmd_declare(std::string rest, const std::vector<ParamValue>& params) {
    std::string name = take_word(rest);
    if (name.empty() || !take_keyword(rest, "CURSOR") || !take_keyword(rest, "FOR")) {
        put_error("DECLARE expects: DECLARE name CURSOR FOR query");
        return put_end();
    }
    if (cursors_.count(name)) {
        put_error("cursor " + name + " already exists");
        return put_end();
    }
    if (cursors_.size() >= static_cast<size_t>(lim_.max_cursors)) {
        put_error("too many open cursors (limit " + std::to_string(lim_.max_cursors) + ")");
        return put_end();
    }
    // The query, or the name of a prepared statement whose text is run afresh.
    std::string target = trim(rest);
    auto named = prepared_.find(target);
    std::string error;
    sqlite3_stmt* st = prepare_single(named != prepared_.end() ? sqlite3_sql(named->second) : target, error);
    if (st && sqlite3_column_count(st) == 0) {
        sqlite3_finalize(st);
        st = nullptr;
        error = "a cursor needs a statement that returns rows";
    }
    size_t next = 0;
    if (st) error = bind_values(st, params, &next, nullptr);
    Cursor c;
    c.stmt = st;
    if (error.empty()) {
        ensure_transaction(st);
        // The first row is read now: the description needs the value types.
        c.step_rc = sqlite3_step(st);
        if (c.step_rc != SQLITE_ROW && c.step_rc != SQLITE_DONE) error = db_error();
    }
    if (!error.empty()) {
        sqlite3_finalize(st);
        put_error(error);
        return put_end();
    }
    ResultWriter w(ch_, st, nullptr);
    w.plan(c.step_rc == SQLITE_ROW);
    w.put_description();
    c.plan = w.plan_columns();
    cursors_[name] = std::move(c);
    put_end();
}

void Session::cmd_open(std::string rest) {
    std::string name = take_word(rest);
    auto it = cursors_.find(name);
    if (it == cursors_.end()) {
        put_error("cursor " + name + " is not declared");
        return put_end();
    }
    it->second.opened = true;
    put_end();
}

void Session::cmd_fetch(std::string rest) {
    // The library's "FETCH n FROM c"; callers' own texts may also say
    // "FETCH NEXT n FROM c" or "FETCH ALL FROM c".
    take_keyword(rest, "NEXT") || take_keyword(rest, "FORWARD");
    long long count = lim_.max_fetch_rows;
    if (!take_keyword(rest, "ALL")) {
        std::string count_text = take_word(rest);
        char* endp = nullptr;
        count = std::strtoll(count_text.c_str(), &endp, 10);
        if (count_text.empty() || *endp) count = -1;
    }
    if (count < 0 || !take_keyword(rest, "FROM")) {
        put_error("FETCH expects: FETCH [NEXT] count|ALL FROM cursor");
        return put_end();
    }
    std::string name = take_word(rest);
    auto it = cursors_.find(name);
    if (it == cursors_.end() || !it->second.opened) {
        put_error("cursor " + name + (it == cursors_.end() ? " is not declared" : " is not open"));
        return put_end();
    }
    Cursor& c = it->second;
    ResultWriter w(ch_, c.stmt, login_.lob_descriptors ? &lobs_ : nullptr);
    w.use_plan(c.plan);
    w.set_row_number(c.rows_sent + 1);
    StreamOutcome s = send_rows(w, c.stmt, &c.step_rc, std::min<int64_t>(count, lim_.max_fetch_rows), 0);
    c.rows_sent += s.rows;
    if (s.end == StreamEnd::Error) put_error(db_error());
    // A failed cursor yields no further rows.
    if (s.end == StreamEnd::Error || s.end == StreamEnd::BadValue) c.step_rc = SQLITE_DONE;
    put_end();
}

void Session::cmd_close(std::string rest) {
    std::string name = take_word(rest);
    auto it = cursors_.find(name);
    if (it == cursors_.end()) {
        put_error("cursor " + name + " is not declared");
        return put_end();
    }
    sqlite3_finalize(it->second.stmt);
    cursors_.erase(it);
    put_end();
}

void Session::cmd_version() {
    const std::string v = server_version_text();
    ch_.put_u8('A');
    ch_.put_i32(1);
    ch_.put_string("version");
    ch_.put_i32(kChar);
    ch_.put_i32(0);
    ch_.put_i32(0);
    ch_.put_u8('R');
    ch_.put_string(v);
    put_end();
}

void Session::cmd_get_lob(std::string rest) {
    // 'KEY' offset N limit M
    std::string key, error;
    long long offset = -1, limit = -1;
    if (rest.size() > 1 && rest[0] == '\'') {
        size_t q = rest.find('\'', 1);
        if (q != std::string::npos) {
            key = rest.substr(1, q - 1);
            rest.erase(0, q + 1);
            rest.erase(0, std::find_if(rest.begin(), rest.end(), [](char c) { return !is_blank(c); }) - rest.begin());
            if (take_keyword(rest, "offset")) offset = std::atoll(take_word(rest).c_str());
            if (take_keyword(rest, "limit")) limit = std::atoll(take_word(rest).c_str());
        }
    }
    auto value = lobs_.find(key);
    if (key.empty() || offset < 0 || limit < 0) error = "get lob expects: get lob 'descriptor' offset N limit M";
    else if (!value) error = "large object " + key + " is unknown to this session";
    if (!error.empty()) {
        put_error(error);
        return put_end();
    }
    ch_.put_u8('A');
    ch_.put_i32(1);
    ch_.put_string("lob");
    ch_.put_i32(key[0] == 'B' ? kBlob : kClob);
    ch_.put_i32(0);
    ch_.put_i32(0);
    ch_.put_u8('R');
    constexpr size_t kPiece = 1 << 20;  // the client stages one piece in 1 MiB
    size_t pos = std::min(static_cast<size_t>(offset), value->size());
    size_t end = std::min(value->size(), pos + static_cast<size_t>(limit));
    while (pos < end) {
        size_t n = std::min(kPiece, end - pos);
        ch_.put_i32(1);
        ch_.put_i32(static_cast<int32_t>(n));
        ch_.put_bytes(value->data() + pos, n);
        pos += n;
    }
    ch_.put_i32(0);
    put_end();
}

void Session::cmd_call(std::string rest, const std::vector<ParamValue>& params) {
    std::string name = take_word(rest);
    ProcedureOutcome r = call_builtin(db_, name, params);
    if (!r.error.empty()) {
        put_error(r.error);
        return put_end();
    }
    for (const auto& o : r.outputs) {
        ch_.put_u8('P');
        ch_.put_i32(o.index);
        ch_.put_i32(o.type);
        ch_.put_string(o.bytes);
    }
    if (r.has_return) {
        ch_.put_u8('O');
        ch_.put_i32(r.return_type);
        ch_.put_string(r.return_bytes);
    }
    if (!r.result_sql.empty()) {
        std::string error;
        sqlite3_stmt* st = prepare_single(r.result_sql, error);
        StmtGuard guard{st};
        size_t next = 0;
        if (st) error = bind_values(st, r.result_args, &next, nullptr);
        if (!error.empty()) put_error(error);
        else if (execute_statement(st, kProcedureRowBatch) == Outcome::Abandoned) return;
    }
    put_end();
}

}  // namespace kvcd
