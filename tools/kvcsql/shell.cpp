#include "shell.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <kvc.h>
#include <strings.h>

#include "bound_params.h"
#include "options.h"
#include "progress.h"

namespace kvcsql {

namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Rows of one \batch execution: the wire header carries the row count in 16 bits.
const size_t kBatchRows = 10000;
// Rows fetched by \fetch without a count (what KVC_FetchServerCursorRowset asks for).
const int kCursorBlock = 20000;
// Names the fixed command buffers of the library can hold.
const size_t kMaxNameLength = 60;

bool parse_switch(const std::string& args, bool current, bool& value) {
    if (args.empty()) {
        value = !current;
        return true;
    }
    if (strcasecmp(args.c_str(), "on") == 0) {
        value = true;
        return true;
    }
    if (strcasecmp(args.c_str(), "off") == 0) {
        value = false;
        return true;
    }
    return false;
}

std::string plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The message part of an error text: without its bracketed code and without
// the line feeds and blanks the library's texts end with.
std::string message_of(const std::string& text) {
    std::string message = text;
    if (!message.empty() && message[0] == '[') {
        auto close = message.find(']');
        if (close != std::string::npos && close <= 8) message.erase(0, close + 1);
    }
    return trim(message);
}

// The whole error text of a handle ("" when it has none).
std::string error_text_of(void** handle) {
    int length = KVC_GetErrorLen(handle);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length), '\0');
    int copied = 0;
    KVC_GetError(handle, &text[0], &copied);
    text.resize(static_cast<size_t>(std::max(0, std::min(copied, length))));
    return text;
}

}  // namespace

Shell::Shell(void** conn, std::ostream& out, std::ostream& err, const ShellSettings& settings)
    : conn_(conn), out_(out), err_(err), settings_(settings) {}

void Shell::run(LineReader& reader, bool interactive) {
    StatementSplitter splitter;
    std::string line;
    std::vector<std::string> statements;
    while (!quit_) {
        if (failed_ && settings_.stop_on_error && !interactive) return;
        std::string prompt;
        if (interactive) prompt = batch_active_ ? "batch> " : std::string("kvcsql") + splitter.prompt_marker() + "> ";
        out_.flush();
        ReadResult read = reader.read_line(prompt, line);
        if (read == ReadResult::End) break;
        if (read == ReadResult::Interrupted) {
            // As in other shells: Ctrl-C drops what was being typed.
            splitter.reset();
            batch_active_ = false;
            batch_rows_.clear();
            out_ << "\n";
            continue;
        }
        if (settings_.echo && !interactive) out_ << line << "\n";
        if (batch_active_) {
            batch_line(line);
            continue;
        }
        std::string trimmed = trim(line);
        if (!splitter.inside_literal() && !trimmed.empty() && trimmed[0] == '\\') {
            reader.remember(trimmed);
            run_meta(trimmed);
            continue;
        }
        statements.clear();
        splitter.feed_line(line, statements);
        for (const std::string& sql : statements) {
            reader.remember(sql + ";");
            run_sql(sql);
            if (failed_ && settings_.stop_on_error && !interactive) return;
        }
    }
    if (batch_active_) batch_finish();  // the input ended without "\."
    // A last statement without its ";" still runs (handy with -c).
    std::string rest = splitter.take_rest();
    if (!rest.empty() && !quit_ && !(failed_ && settings_.stop_on_error && !interactive)) run_sql(rest);
    out_.flush();
}

// ---- plain SQL ------------------------------------------------------------

// Binds the values of the last \bind (if any) for the next statement; they
// serve that statement only. false after reporting a value that cannot be bound.
bool Shell::bind_pending_params(BoundParams& params, bool allow_outputs) {
    if (next_params_.empty()) return true;
    std::string error = params.bind_row(next_params_, allow_outputs);
    next_params_.clear();
    if (!error.empty()) {
        fail(error);
        return false;
    }
    KVC_BindParams2Conn(conn_, params.handle());
    return true;
}

void Shell::run_sql(const std::string& sql) {
    BoundParams params;
    if (!bind_pending_params(params, false)) return;
    std::string error_before = conn_error_text();
    void* result = nullptr;
    int columns = 0, affected = 0;
    int64_t rows = 0;
    auto start = Clock::now();
    int status;
    {
        WaitIndicator wait(err_, settings_.progress);
        status = KVC_ExecwithDataReader(conn_, sql.c_str(), &result, &columns, &rows, &affected);
    }
    double ms = elapsed_ms(start);
    KVC_ResetParams(conn_);  // the set above is ours and goes with this statement
    report_reply(status, &result, error_before, fun_sql_type(sql.c_str()));
    print_timing(ms);
}

// ---- replies ----------------------------------------------------------------

std::string Shell::conn_error_text() { return error_text_of(conn_); }

bool Shell::report_reply(int status, void** result, const std::string& error_before, int sql_class) {
    const bool changes_rows = sql_class >= 1 && sql_class <= 3;  // insert, update, delete
    // An insert answers with one identifier per row: they are told together.
    long long inserted = 0;
    std::string last_insert_id;
    auto flush_inserts = [&] {
        if (inserted == 0 || settings_.quiet) return;
        out_ << "(" << plural(inserted, "row", "rows") << " inserted, " << (inserted == 1 ? "" : "last ")
             << "insert id " << last_insert_id << ")\n";
        inserted = 0;
    };
    while (*result) {
        int kind = 0, columns = 0, rows = 0, affected = 0;
        char insert_id[32] = {0};
        KVC_getResultRet(result, &kind, &columns, &rows, &affected, insert_id);
        if (kind != 1) flush_inserts();
        switch (kind) {
        case 4:
            print_rows(result);
            break;
        case 2:
            if (settings_.quiet) break;
            if (affected != 0 || changes_rows)
                out_ << "(" << plural(affected, "row", "rows") << " affected)\n";
            else
                out_ << "OK\n";
            break;
        case 3:
            if (!settings_.quiet) out_ << "(" << plural(affected, "row", "rows") << " deleted)\n";
            break;
        case 1:
            ++inserted;
            last_insert_id = insert_id;
            break;
        default:
            break;
        }
        // Texts that arrived between the rows belong to the result itself.
        std::string between_rows = error_text_of(result);
        if (!between_rows.empty()) {
            out_.flush();
            err_ << "WARNING: " << message_of(between_rows) << "\n";
        }
        if (KVC_NextResult(result) != KVC_OK) break;
    }
    flush_inserts();
    KVC_FreeRowset(result);
    if (status < 0) {
        report_error(status, conn_);
        return false;
    }
    report_notice(error_before);
    return true;
}

void Shell::print_rows(void** result) {
    Table table;
    bool show = settings_.progress;
    std::string error = reader_.read(result, table, [&](size_t done, size_t total) {
        if (show) show_progress_line(err_, "reading rows: " + std::to_string(done) + " of " + std::to_string(total));
    });
    if (show) clear_progress_line(err_);
    if (!error.empty()) return fail(error);
    print_table(table);
}

void Shell::print_table(const Table& table) {
    if (settings_.csv)
        print_csv(table, out_);
    else
        print_aligned(table, out_, !settings_.quiet);
    out_.flush();
}

void Shell::report_error(int status, void** handle) {
    failed_ = true;
    out_.flush();  // what came before the failure shows before it
    // A broken connection leaves no new text: the one there is older.
    std::string text;
    if (status == KVC_NET_ERROR)
        text = "the connection to the server broke";
    else if (status == KVC_NO_MEMORY)
        text = "out of memory while reading the reply";
    else
        text = error_text_of(handle);
    char code[8] = {0};
    char message[300] = {0};
    bool has_code = status != KVC_NET_ERROR && status != KVC_NO_MEMORY &&
                    KVC_GetErrorInfo(handle, code, message) != KVC_NO_MORE;
    err_ << "ERROR";
    if (has_code) err_ << " " << code;
    err_ << ": " << (text.empty() ? "failed" : message_of(text)) << " (status " << status << ")\n";
    err_.flush();
}

void Shell::report_notice(const std::string& error_before) {
    std::string now = conn_error_text();
    if (!now.empty() && now != error_before) {
        out_.flush();
        err_ << "NOTICE: " << message_of(now) << "\n";
    }
}

void Shell::fail(const std::string& message) {
    failed_ = true;
    out_.flush();
    err_ << "ERROR: " << message << "\n";
    err_.flush();
}

void Shell::print_timing(double ms) {
    if (!settings_.timing) return;
    char text[64];
    std::snprintf(text, sizeof text, "Time: %.3f ms\n", ms);
    out_ << text;
}

// ---- meta-commands -------------------------------------------------------

void Shell::run_meta(const std::string& line) {
    std::string command, args;
    split_first_word(line, command, args);
    if (command == "\\q" || command == "\\quit") {
        quit_ = true;
        return;
    }
    if (command == "\\?" || command == "\\help" || command == "\\h") {
        out_ << usage_text();
        return;
    }
    using Handler = void (Shell::*)(const std::string&);
    static const struct {
        const char* name;
        Handler handler;
    } kMetaCommands[] = {
        {"\\timing", &Shell::meta_timing},     {"\\csv", &Shell::meta_csv},
        {"\\bind", &Shell::meta_bind},         {"\\prepare", &Shell::meta_prepare},
        {"\\execute", &Shell::meta_execute},   {"\\deallocate", &Shell::meta_deallocate},
        {"\\call", &Shell::meta_call},         {"\\batch", &Shell::meta_batch_start},
        {"\\declare", &Shell::meta_declare},   {"\\fetch", &Shell::meta_fetch},
        {"\\close", &Shell::meta_close},
    };
    for (const auto& meta : kMetaCommands) {
        if (command == meta.name) {
            (this->*meta.handler)(args);
            return;
        }
    }
    fail("unknown meta-command " + command + " (\\? lists them)");
}

void Shell::meta_timing(const std::string& args) {
    if (!parse_switch(args, settings_.timing, settings_.timing)) return fail("\\timing takes on or off");
    out_ << "Timing is " << (settings_.timing ? "on" : "off") << ".\n";
}

void Shell::meta_csv(const std::string& args) {
    if (!parse_switch(args, settings_.csv, settings_.csv)) return fail("\\csv takes on or off");
    out_ << "CSV output is " << (settings_.csv ? "on" : "off") << ".\n";
}

void Shell::meta_bind(const std::string& args) {
    next_params_.clear();
    std::string error = parse_param_args(args, next_params_);
    if (!error.empty()) {
        next_params_.clear();
        return fail("\\bind: " + error);
    }
}

void Shell::meta_prepare(const std::string& sql) {
    if (sql.empty()) return fail("\\prepare needs an SQL text");
    char name[32] = {0};
    std::string error_before = conn_error_text();
    auto start = Clock::now();
    int status = KVC_Prepare2(conn_, sql.c_str(), name);
    double ms = elapsed_ms(start);
    // The description the prepare left on the connection is not needed here.
    KVC_ResetParams(conn_);
    if (status < 0) return report_error(status, conn_);
    out_ << "prepared " << name << (status == KVC_PREPARED_WITH_COLUMNS ? " (returns rows)" : "") << "\n";
    report_notice(error_before);
    print_timing(ms);
}

void Shell::meta_execute(const std::string& args) {
    std::string name, rest;
    split_first_word(args, name, rest);
    if (name.empty() || name.size() > kMaxNameLength) return fail("\\execute needs a statement name");
    std::vector<ParamArg> values;
    std::string error = parse_param_args(rest, values);
    if (!error.empty()) return fail("\\execute: " + error);
    BoundParams params;
    if (!values.empty()) {
        error = params.bind_row(values, false);
        if (!error.empty()) return fail(error);
        KVC_BindParams2Conn(conn_, params.handle());
    }
    std::string error_before = conn_error_text();
    void* result = nullptr;
    auto start = Clock::now();
    int status;
    {
        WaitIndicator wait(err_, settings_.progress);
        status = KVC_Execute2(conn_, name.c_str(), nullptr, &result);
    }
    double ms = elapsed_ms(start);
    KVC_ResetParams(conn_);
    report_reply(status, &result, error_before);
    print_timing(ms);
}

void Shell::meta_deallocate(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return fail("\\deallocate needs a statement name");
    int status = KVC_UnPrepare(conn_, name.c_str());
    if (status < 0) return report_error(status, conn_);
    out_ << "deallocated " << name << "\n";
}

void Shell::meta_call(const std::string& sql) {
    if (sql.empty()) return fail("\\call needs an SQL text");
    BoundParams params;
    if (!bind_pending_params(params, true)) return;
    std::string error_before = conn_error_text();
    void* result = nullptr;
    auto start = Clock::now();
    int status;
    {
        WaitIndicator wait(err_, settings_.progress);
        status = KVC_Execute_procesure(conn_, sql.c_str(), &result);
    }
    double ms = elapsed_ms(start);
    // A procedure call leaves the set bound: detach it before it goes.
    KVC_ResetParams(conn_);
    if (status == KVC_TRUNCATED) {
        // The values arrived, cut to their buffers: show them and say so.
        err_ << "WARNING: an output value was longer than its buffer and was cut\n";
        status = KVC_OK;
    }
    if (status >= 0 && params.has_outputs()) {
        Table table;
        table.columns = {{"parameter", false}, {"value", false}};
        for (const auto& output : params.outputs()) {
            table.add_cell(output.label);
            if (output.is_null)
                table.add_null();
            else
                table.add_cell(output.value + (output.truncated ? "..." : ""));
        }
        print_table(table);
    }
    // Positive statuses are row counts or the server-message mark: not failures.
    report_reply(status, &result, error_before);
    print_timing(ms);
}

void Shell::meta_batch_start(const std::string& sql) {
    if (sql.empty()) return fail("\\batch needs an SQL text");
    batch_active_ = true;
    batch_sql_ = sql;
    batch_rows_.clear();
}

void Shell::batch_line(const std::string& line) {
    std::string row_text = trim(line);
    if (row_text == "\\.") return batch_finish();
    if (row_text.empty()) return;
    std::vector<ParamArg> row;
    std::string error = parse_param_args(row_text, row);
    if (error.empty() && !batch_rows_.empty() && row.size() != batch_rows_[0].size())
        error = "every row needs " + std::to_string(batch_rows_[0].size()) + " values";
    if (!error.empty()) {
        // The row is left out; the batch goes on with the others.
        return fail("\\batch row " + std::to_string(batch_rows_.size() + 1) + ": " + error);
    }
    batch_rows_.push_back(std::move(row));
}

void Shell::batch_finish() {
    batch_active_ = false;
    std::vector<std::vector<ParamArg>> rows = std::move(batch_rows_);
    batch_rows_.clear();
    if (rows.empty() || rows[0].empty()) return fail("\\batch: no rows of values before \"\\.\"");
    auto start = Clock::now();
    long long done = 0;
    for (size_t first = 0; first < rows.size(); first += kBatchRows) {
        size_t count = std::min(kBatchRows, rows.size() - first);
        BoundParams params;
        std::string error = params.bind_arrays(rows, first, count);
        if (!error.empty()) return fail(error);
        KVC_BindParams2Conn(conn_, params.handle());
        std::string error_before = conn_error_text();
        int status;
        {
            WaitIndicator wait(err_, settings_.progress);
            status = KVC_ExecBatch(conn_, batch_sql_.c_str(), static_cast<int>(count));
        }
        KVC_ResetParams(conn_);
        if (status < 0) return report_error(status, conn_);
        report_notice(error_before);
        done += static_cast<long long>(count);
    }
    if (!settings_.quiet) out_ << "(batch of " << plural(done, "row", "rows") << ")\n";
    print_timing(elapsed_ms(start));
}

void Shell::meta_declare(const std::string& args) {
    std::string cursor, sql;
    split_first_word(args, cursor, sql);
    if (cursor.empty() || sql.empty() || cursor.size() > kMaxNameLength)
        return fail("\\declare needs a cursor name and an SQL text");
    void* result = nullptr;
    int columns = 0;
    int status = KVC_ExecwithServerCursorReader(conn_, sql.c_str(), cursor.c_str(), &result, &columns, nullptr);
    if (result) KVC_FreeRowset(&result);
    KVC_ResetParams(conn_);
    if (status < 0) return report_error(status, conn_);
    out_ << "cursor " << cursor << " open (" << plural(columns, "column", "columns") << ")\n";
}

void Shell::meta_fetch(const std::string& args) {
    std::string cursor, count_text;
    split_first_word(args, cursor, count_text);
    if (cursor.empty() || cursor.size() > kMaxNameLength) return fail("\\fetch needs a cursor name");
    int count = kCursorBlock;
    if (!count_text.empty()) {
        char* end = nullptr;
        long n = std::strtol(count_text.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > 1000000) return fail("\\fetch: the row count must be a number from 1");
        count = static_cast<int>(n);
    }
    std::string error_before = conn_error_text();
    void* result = nullptr;
    auto start = Clock::now();
    int status;
    {
        WaitIndicator wait(err_, settings_.progress);
        if (count == kCursorBlock) {
            status = KVC_FetchServerCursorRowset(conn_, cursor.c_str(), &result);
        } else {
            std::string command = "FETCH " + std::to_string(count) + " FROM " + cursor;
            status = KVC_FetchServerCursorRowset_V2(conn_, command.c_str(), &result);
        }
    }
    double ms = elapsed_ms(start);
    report_reply(status, &result, error_before);
    print_timing(ms);
}

void Shell::meta_close(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return fail("\\close needs a cursor name");
    int status = KVC_CloseCursor(conn_, name.c_str());
    if (status < 0) return report_error(status, conn_);
    out_ << "cursor " << name << " closed\n";
}

}  // namespace kvcsql
