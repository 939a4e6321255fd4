#include "shell.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <kvc.h>
#include <strings.h>
#include <unistd.h>

#include "bound_params.h"
#include "interrupt.h"
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
// Queries stream through this server cursor: a small first block shows the
// first rows at once, larger ones keep the round trips few. A block is
// printed and released before the next is fetched, so memory stays bounded.
const char kStreamCursor[] = "kvcsql_rows";
const int kFirstBlockRows = 100;
const int kBlockRows = 10000;
// \i may include files that include others, but not endlessly.
const int kMaxIncludeDepth = 16;

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

// The message part of an error text: without its bracketed code, without
// the "sql:... errinfo:" wrapping that the library puts around a server's
// text, and without the line feeds and blanks the library's texts end with.
std::string message_of(const std::string& text) {
    std::string message = text;
    if (!message.empty() && message[0] == '[') {
        auto close = message.find(']');
        if (close != std::string::npos && close <= 8) message.erase(0, close + 1);
    }
    const std::string wrapper = " errinfo: ";
    auto wrapped = message.find(wrapper);
    if (message.compare(0, 4, "sql:") == 0 && wrapped != std::string::npos)
        message.erase(0, wrapped + wrapper.size());
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

// Statements whose rows are streamed through a server cursor; the server
// declares cursors over queries only.
bool is_query(const std::string& sql) {
    std::string word, rest;
    split_first_word(sql, word, rest);
    auto paren = word.find('(');
    if (paren != std::string::npos) word.erase(paren);
    return strcasecmp(word.c_str(), "SELECT") == 0 || strcasecmp(word.c_str(), "VALUES") == 0;
}

// Statements after which the catalogue that completion offers may differ.
bool may_change_catalogue(const std::string& sql) {
    std::string word, rest;
    split_first_word(sql, word, rest);
    for (const char* keyword : {"CREATE", "DROP", "ALTER"})
        if (strcasecmp(word.c_str(), keyword) == 0) return true;
    return false;
}

// A value of \set and \pset: 'quoted' (quote doubled inside) or as written.
std::string unquoted(const std::string& text) {
    std::vector<ParamArg> args;
    if (text.size() >= 2 && text[0] == '\'' && parse_param_args(text, args).empty() && args.size() == 1)
        return args[0].text;
    return text;
}

}  // namespace

Shell::Shell(void** conn, std::ostream& out, std::ostream& err, const ShellSettings& settings)
    : conn_(conn), out_(out), err_(err), settings_(settings) {
    if (settings_.quiet) settings_.format.footer = false;
    reader_.set_lob_descriptors(settings_.lob_descriptors);
    socket_fd_ = find_connection_socket();
}

bool Shell::stopping() const {
    if (interactive_) return false;
    return lost_ || (failed_ && settings_.stop_on_error);
}

std::string Shell::location() const {
    if (source_.empty()) return std::string();
    return "kvcsql:" + source_ + ":" + std::to_string(line_) + ": ";
}

void Shell::run(LineReader& reader, bool interactive, const std::string& source) {
    const std::string outer_source = source_;
    const int outer_line = line_;
    const bool outer_interactive = interactive_;
    source_ = source;
    interactive_ = interactive;
    StatementSplitter splitter;
    splitter.set_variables(&variables_);
    std::string line;
    std::vector<std::string> statements;
    int input_line = 0;
    int statement_line = 1;  // where the statement waiting for its ";" began
    while (!quit_ && !stopping()) {
        std::string prompt;
        if (interactive) prompt = batch_active_ ? "batch> " : std::string("kvcsql") + splitter.prompt_marker() + "> ";
        results().flush();
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
        line_ = ++input_line;
        if (settings_.echo && !interactive) results() << line << "\n";
        if (batch_active_) {
            batch_line(substitute_variables(line, variables_));
            continue;
        }
        std::string trimmed = trim(line);
        if (!splitter.inside_literal() && !trimmed.empty() && trimmed[0] == '\\') {
            reader.remember(trimmed);
            run_meta(substitute_variables(trimmed, variables_));
            continue;
        }
        const bool was_pending = splitter.pending();
        statements.clear();
        splitter.feed_line(line, statements);
        for (size_t k = 0; k < statements.size() && !stopping(); ++k) {
            line_ = (k == 0 && was_pending) ? statement_line : input_line;
            reader.remember(statements[k] + ";");
            run_sql(statements[k]);
        }
        if (splitter.pending() && (!was_pending || !statements.empty())) statement_line = input_line;
    }
    if (batch_active_) batch_finish();  // the input ended without "\."
    // A last statement without its ";" still runs (handy with -c).
    std::string rest = splitter.take_rest();
    line_ = statement_line;
    if (!rest.empty() && !quit_ && !stopping()) run_sql(rest);
    results().flush();
    source_ = outer_source;
    line_ = outer_line;
    interactive_ = outer_interactive;
}

// ---- the connection -------------------------------------------------------

bool Shell::ensure_connected() {
    if (!lost_) return true;
    int status = KVC_ReconnectConn(conn_);
    if (status < 0) {
        fail("cannot reconnect to the server: " + message_of(conn_error_text()) + " (status " +
             std::to_string(status) + ")");
        return false;
    }
    lost_ = false;
    socket_fd_ = find_connection_socket();
    placeholders_.clear();
    results().flush();
    err_ << "reconnected to the server (prepared statements and cursors of the old connection are gone)\n";
    return true;
}

// ---- plain SQL ------------------------------------------------------------

int Shell::wait_for_server(const std::function<int()>& call) {
    WaitIndicator wait(err_, settings_.progress);
    return call();
}

int Shell::run_guarded(const std::function<int()>& call) {
    StatementGuard guard(socket_fd_, interactive_);
    return wait_for_server(call);
}

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
    if (!ensure_connected()) return;
    BoundParams params;
    if (!bind_pending_params(params, false)) return;
    if (may_change_catalogue(sql)) catalogue_stale_ = true;
    if (is_query(sql)) return run_query_through_cursor(sql);
    std::string error_before = conn_error_text();
    void* result = nullptr;
    int columns = 0, affected = 0;
    int64_t rows = 0;
    auto start = Clock::now();
    int status =
        run_guarded([&] { return KVC_ExecwithDataReader(conn_, sql.c_str(), &result, &columns, &rows, &affected); });
    double ms = elapsed_ms(start);
    KVC_ResetParams(conn_);  // the set above is ours and goes with this statement
    report_reply(status, &result, error_before, fun_sql_type(sql.c_str()));
    print_timing(ms);
}

// The rows of a query are fetched block by block and each block printed
// before the next is asked for: the first rows show at once and memory does
// not grow with the result.
void Shell::run_query_through_cursor(const std::string& sql) {
    std::string error_before = conn_error_text();
    auto start = Clock::now();
    // Ctrl-C cancels anywhere between the DECLARE and the last block.
    StatementGuard guard(socket_fd_, interactive_);
    void* declared = nullptr;
    int columns = 0;
    int status = wait_for_server([&] {
        return KVC_ExecwithServerCursorReader(conn_, sql.c_str(), kStreamCursor, &declared, &columns, nullptr);
    });
    KVC_ResetParams(conn_);
    if (status < 0) {
        KVC_FreeRowset(&declared);
        return report_error(status, conn_);
    }
    RowPrinter printer(results(), settings_.format);
    Table block;
    std::string error;
    for (int fetch = kFirstBlockRows;; fetch = kBlockRows) {
        const std::string command = "FETCH " + std::to_string(fetch) + " FROM " + kStreamCursor;
        void* rows = nullptr;
        status = wait_for_server([&] { return KVC_FetchServerCursorRowset_V2(conn_, command.c_str(), &rows); });
        if (status < 0 || !rows) {
            KVC_FreeRowset(&rows);
            break;
        }
        int count = 0;
        KVC_getResultRecordnum(&rows, &count);
        // An empty last block adds nothing, but an empty result still shows its columns.
        if (count > 0 || printer.rows_printed() == 0) error = print_rows(&rows, printer, block);
        // A server error after some of the block's rows ends the block and the statement.
        if (error.empty()) error = message_of(error_text_of(&rows));
        KVC_FreeRowset(&rows);
        if (!error.empty() || count < fetch) break;
    }
    if (status >= 0 && error.empty() && printer.rows_printed() == 0 && declared) {
        // No block came back at all: the declared description gives the header.
        error = print_rows(&declared, printer, block);
    }
    KVC_FreeRowset(&declared);
    double ms = elapsed_ms(start);
    // The fetch's own failure is told before CLOSE can replace its text.
    if (status < 0)
        report_error(status, conn_);
    else if (!error.empty())
        fail(error);
    if (!lost_ && KVC_CloseCursor(conn_, kStreamCursor) == KVC_NET_ERROR) lost_ = true;
    if (status < 0 || !error.empty()) return;
    printer.finish();
    results().flush();
    report_notice(error_before);
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
        status_out() << "(" << plural(inserted, "row", "rows") << " inserted, " << (inserted == 1 ? "" : "last ")
                     << "insert id " << last_insert_id << ")\n";
        inserted = 0;
    };
    Table block;
    while (*result) {
        int kind = 0, columns = 0, rows = 0, affected = 0;
        char insert_id[32] = {0};
        KVC_getResultRet(result, &kind, &columns, &rows, &affected, insert_id);
        if (kind != 1) flush_inserts();
        switch (kind) {
        case 4: {
            RowPrinter printer(results(), settings_.format);
            std::string error = print_rows(result, printer, block);
            if (error.empty())
                printer.finish();
            else
                fail(error);
            break;
        }
        case 2:
            if (settings_.quiet) break;
            if (affected != 0 || changes_rows)
                status_out() << "(" << plural(affected, "row", "rows") << " affected)\n";
            else
                status_out() << "OK\n";
            break;
        case 3:
            if (!settings_.quiet) status_out() << "(" << plural(affected, "row", "rows") << " deleted)\n";
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
            results().flush();
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

std::string Shell::print_rows(void** result, RowPrinter& printer, Table& block) {
    std::string error = reader_.describe(result, block);
    for (bool more = error.empty(); more;) {
        block.clear_rows();
        error = reader_.read_rows(result, block, kBlockRows, more);
        if (!error.empty()) break;
        printer.print_block(block);
    }
    block.clear_rows();
    results().flush();
    return error;
}

void Shell::print_table(const Table& table) {
    RowPrinter printer(results(), settings_.format);
    printer.print_block(table);
    printer.finish();
    results().flush();
}

void Shell::report_error(int status, void** handle) {
    failed_ = true;
    results().flush();  // what came before the failure shows before it
    // A broken connection leaves no new text: the one there is older.
    std::string text;
    if (status == KVC_NET_ERROR) {
        lost_ = true;
        text = take_cancellation() ? "cancelled: the statement may or may not have completed"
                                   : "the connection to the server broke";
    } else if (status == KVC_NO_MEMORY) {
        text = "out of memory while reading the reply";
    } else {
        text = message_of(error_text_of(handle));
    }
    char code[8] = {0};
    char message[300] = {0};
    bool has_code = status != KVC_NET_ERROR && status != KVC_NO_MEMORY &&
                    KVC_GetErrorInfo(handle, code, message) != KVC_NO_MORE;
    err_ << location() << "ERROR";
    if (has_code) err_ << " " << code;
    err_ << ": " << (text.empty() ? "failed" : text) << " (status " << status << ")\n";
    if (lost_) err_ << (interactive_ ? "the next statement reconnects\n" : "kvcsql: connection lost, script stopped\n");
    err_.flush();
}

void Shell::report_notice(const std::string& error_before) {
    std::string now = conn_error_text();
    if (!now.empty() && now != error_before) {
        results().flush();
        err_ << "NOTICE: " << message_of(now) << "\n";
    }
}

void Shell::fail(const std::string& message) {
    failed_ = true;
    results().flush();
    err_ << location() << "ERROR: " << message << "\n";
    err_.flush();
}

void Shell::print_timing(double ms) {
    if (!settings_.timing) return;
    char text[64];
    std::snprintf(text, sizeof text, "Time: %.3f ms\n", ms);
    status_out() << text;
}

// ---- meta-commands -------------------------------------------------------

void Shell::run_meta(const std::string& line) {
    std::string command, args;
    split_first_word(line, command, args);
    if (command == "\\q" || command == "\\quit") {
        quit_ = true;
        return;
    }
    using Handler = void (Shell::*)(const std::string&);
    static const struct {
        const char* name;
        Handler handler;
        bool uses_server;
    } kMetaCommands[] = {
        {"\\?", &Shell::meta_help, false},          {"\\help", &Shell::meta_help, false},
        {"\\timing", &Shell::meta_timing, false},   {"\\csv", &Shell::meta_csv, false},
        {"\\x", &Shell::meta_expanded, false},      {"\\pset", &Shell::meta_pset, false},
        {"\\set", &Shell::meta_set, false},         {"\\unset", &Shell::meta_unset, false},
        {"\\i", &Shell::meta_include, false},       {"\\o", &Shell::meta_output, false},
        {"\\bind", &Shell::meta_bind, false},       {"\\prepare", &Shell::meta_prepare, true},
        {"\\execute", &Shell::meta_execute, true},  {"\\deallocate", &Shell::meta_deallocate, true},
        {"\\call", &Shell::meta_call, true},        {"\\batch", &Shell::meta_batch_start, false},
        {"\\declare", &Shell::meta_declare, true},  {"\\fetch", &Shell::meta_fetch, true},
        {"\\close", &Shell::meta_close, true},
    };
    for (const auto& meta : kMetaCommands) {
        if (command == meta.name) {
            if (meta.uses_server && !ensure_connected()) return;
            (this->*meta.handler)(args);
            return;
        }
    }
    fail("unknown meta-command " + command + " (\\? lists them)");
}

void Shell::meta_help(const std::string&) { results() << meta_command_help(); }

void Shell::meta_timing(const std::string& args) {
    if (!parse_switch(args, settings_.timing, settings_.timing)) return fail("\\timing takes on or off");
    status_out() << "Timing is " << (settings_.timing ? "on" : "off") << ".\n";
}

void Shell::meta_csv(const std::string& args) {
    bool csv = settings_.format.kind == OutputFormat::Kind::Csv;
    if (!parse_switch(args, csv, csv)) return fail("\\csv takes on or off");
    settings_.format.kind = csv ? OutputFormat::Kind::Csv : OutputFormat::Kind::Aligned;
    status_out() << "CSV output is " << (csv ? "on" : "off") << ".\n";
}

void Shell::meta_expanded(const std::string& args) {
    if (!parse_switch(args, settings_.format.expanded, settings_.format.expanded))
        return fail("\\x takes on or off");
    status_out() << "Expanded display is " << (settings_.format.expanded ? "on" : "off") << ".\n";
}

void Shell::meta_pset(const std::string& args) {
    std::string option, value;
    split_first_word(args, option, value);
    value = unquoted(value);
    OutputFormat& format = settings_.format;
    if (option == "null") {
        format.null_text = value;
        status_out() << "Null display is \"" << value << "\".\n";
    } else if (option == "fieldsep") {
        if (value.empty()) return fail("\\pset fieldsep needs a separator");
        format.field_separator = value;
        status_out() << "Field separator is \"" << value << "\".\n";
    } else if (option == "format") {
        static const struct {
            const char* name;
            OutputFormat::Kind kind;
        } kFormats[] = {{"aligned", OutputFormat::Kind::Aligned},
                        {"unaligned", OutputFormat::Kind::Unaligned},
                        {"csv", OutputFormat::Kind::Csv},
                        {"json", OutputFormat::Kind::Json}};
        for (const auto& known : kFormats) {
            if (value == known.name) {
                format.kind = known.kind;
                status_out() << "Output format is " << value << ".\n";
                return;
            }
        }
        fail("\\pset format takes aligned, unaligned, csv or json");
    } else if (option == "tuples_only" || option == "expanded") {
        bool& flag = option == "expanded" ? format.expanded : format.tuples_only;
        if (!parse_switch(value, flag, flag)) return fail("\\pset " + option + " takes on or off");
        status_out() << (option == "expanded" ? "Expanded display" : "Tuples only") << " is "
                     << (flag ? "on" : "off") << ".\n";
    } else {
        fail("\\pset takes null, fieldsep, format, tuples_only or expanded");
    }
}

void Shell::meta_set(const std::string& args) {
    std::string name, value;
    split_first_word(args, name, value);
    if (name.empty()) {
        for (const auto& variable : variables_) results() << variable.first << " = '" << variable.second << "'\n";
        return;
    }
    auto name_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    if (!std::all_of(name.begin(), name.end(), name_char))
        return fail("\\set: a variable name is made of letters, digits and _");
    variables_[name] = unquoted(value);
}

void Shell::meta_unset(const std::string& name) {
    if (name.empty()) return fail("\\unset needs a variable name");
    variables_.erase(name);
}

void Shell::meta_include(const std::string& path) {
    if (path.empty()) return fail("\\i needs a file name");
    if (include_depth_ >= kMaxIncludeDepth) return fail("\\i: files include each other too deeply");
    std::ifstream file(path);
    if (!file) return fail("\\i: cannot read " + path);
    StreamLineReader reader(file);
    ++include_depth_;
    run(reader, false, path);
    --include_depth_;
}

void Shell::meta_output(const std::string& path) {
    results().flush();
    if (output_file_.is_open()) output_file_.close();
    if (path.empty()) return;
    output_file_.open(path, std::ios::out | std::ios::trunc);
    if (!output_file_) {
        output_file_.close();
        fail("\\o: cannot write " + path);
    }
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
    placeholders_[name] = count_placeholders(sql);
    status_out() << "prepared " << name << (status == KVC_PREPARED_WITH_COLUMNS ? " (returns rows)" : "") << "\n";
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
    // The library would run a statement short of values with NULLs, or
    // ignore extra ones: a count that does not match is refused here.
    auto known = placeholders_.find(name);
    if (known != placeholders_.end() && static_cast<size_t>(known->second) != values.size())
        return fail("\\execute " + name + ": the statement takes " + plural(known->second, "parameter", "parameters") +
                    ", " + plural(static_cast<long long>(values.size()), "value was", "values were") + " given");
    BoundParams params;
    if (!values.empty()) {
        error = params.bind_row(values, false);
        if (!error.empty()) return fail(error);
        KVC_BindParams2Conn(conn_, params.handle());
    }
    std::string error_before = conn_error_text();
    void* result = nullptr;
    auto start = Clock::now();
    int status = run_guarded([&] { return KVC_Execute2(conn_, name.c_str(), nullptr, &result); });
    double ms = elapsed_ms(start);
    KVC_ResetParams(conn_);
    report_reply(status, &result, error_before);
    print_timing(ms);
}

void Shell::meta_deallocate(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return fail("\\deallocate needs a statement name");
    int status = KVC_UnPrepare(conn_, name.c_str());
    if (status < 0) return report_error(status, conn_);
    placeholders_.erase(name);
    status_out() << "deallocated " << name << "\n";
}

void Shell::meta_call(const std::string& sql) {
    if (sql.empty()) return fail("\\call needs an SQL text");
    BoundParams params;
    if (!bind_pending_params(params, true)) return;
    std::string error_before = conn_error_text();
    void* result = nullptr;
    auto start = Clock::now();
    int status = run_guarded([&] { return KVC_Execute_procesure(conn_, sql.c_str(), &result); });
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
                table.add_cell(output.truncated ? output.value + "..." : ResultReader::brief_number(output.value));
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
    batch_error_.clear();
}

void Shell::batch_line(const std::string& line) {
    std::string row_text = trim(line);
    if (row_text == "\\.") return batch_finish();
    if (row_text.empty()) return;
    std::vector<ParamArg> row;
    std::string error = parse_param_args(row_text, row);
    if (error.empty() && !batch_rows_.empty() && row.size() != batch_rows_[0].size())
        error = "every row needs " + std::to_string(batch_rows_[0].size()) + " values";
    // One bad row refuses the whole batch: the rest is read up to "\." and
    // nothing is sent, so the table is not left half filled.
    if (!error.empty() && batch_error_.empty())
        batch_error_ = location() + "row " + std::to_string(batch_rows_.size() + 1) + ": " + error;
    batch_rows_.push_back(std::move(row));
}

void Shell::batch_finish() {
    batch_active_ = false;
    std::vector<std::vector<ParamArg>> rows = std::move(batch_rows_);
    batch_rows_.clear();
    if (!batch_error_.empty()) return fail("\\batch refused, nothing was sent: " + batch_error_);
    if (rows.empty() || rows[0].empty()) return fail("\\batch: no rows of values before \"\\.\"");
    if (!ensure_connected()) return;
    auto start = Clock::now();
    long long done = 0;
    for (size_t first = 0; first < rows.size(); first += kBatchRows) {
        size_t count = std::min(kBatchRows, rows.size() - first);
        BoundParams params;
        std::string error = params.bind_arrays(rows, first, count);
        if (!error.empty()) return fail(error);
        KVC_BindParams2Conn(conn_, params.handle());
        std::string error_before = conn_error_text();
        int status = run_guarded([&] { return KVC_ExecBatch(conn_, batch_sql_.c_str(), static_cast<int>(count)); });
        KVC_ResetParams(conn_);
        if (status < 0) return report_error(status, conn_);
        report_notice(error_before);
        done += static_cast<long long>(count);
    }
    if (!settings_.quiet) status_out() << "(batch of " << plural(done, "row", "rows") << ")\n";
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
    status_out() << "cursor " << cursor << " open (" << plural(columns, "column", "columns") << ")\n";
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
    const std::string command = "FETCH " + std::to_string(count) + " FROM " + cursor;
    int status = run_guarded([&] {
        return count == kCursorBlock ? KVC_FetchServerCursorRowset(conn_, cursor.c_str(), &result)
                                     : KVC_FetchServerCursorRowset_V2(conn_, command.c_str(), &result);
    });
    double ms = elapsed_ms(start);
    report_reply(status, &result, error_before);
    print_timing(ms);
}

void Shell::meta_close(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return fail("\\close needs a cursor name");
    int status = KVC_CloseCursor(conn_, name.c_str());
    if (status < 0) return report_error(status, conn_);
    status_out() << "cursor " << name << " closed\n";
}

// ---- tab completion ---------------------------------------------------------

namespace {

const char* const kSqlKeywords[] = {
    "ALL", "ALTER", "AND", "AS", "ASC", "BEGIN", "BETWEEN", "BY", "CASE", "COMMIT", "COUNT", "CREATE",
    "DEFAULT", "DELETE", "DESC", "DISTINCT", "DROP", "ELSE", "END", "EXISTS", "FROM", "GROUP", "HAVING",
    "IN", "INDEX", "INNER", "INSERT", "INTO", "IS", "JOIN", "KEY", "LEFT", "LIKE", "LIMIT", "NOT", "NULL",
    "OFFSET", "ON", "OR", "ORDER", "PRIMARY", "ROLLBACK", "SELECT", "SET", "TABLE", "THEN", "UNION",
    "UPDATE", "VALUES", "VIEW", "WHEN", "WHERE",
};

// Ordinary queries that list the tables where a server keeps such a
// catalogue; the first one that a server answers is used.
const char* const kTableCatalogues[] = {
    "SELECT table_name FROM information_schema.tables",
    "SELECT name FROM sqlite_master WHERE type IN ('table', 'view')",
};
// Completion does not read the columns of more tables than this.
const size_t kMaxTablesForColumns = 200;

bool starts_with_ignoring_case(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

}  // namespace

std::vector<std::string> Shell::completions(const std::string& prefix) {
    std::vector<std::string> matches;
    if (!prefix.empty() && prefix[0] == '\\') {
        for (const char* command : {"\\?", "\\batch", "\\bind", "\\call", "\\close", "\\csv", "\\deallocate",
                                    "\\declare", "\\execute", "\\fetch", "\\i", "\\o", "\\prepare", "\\pset",
                                    "\\q", "\\set", "\\timing", "\\unset", "\\x"})
            if (starts_with_ignoring_case(command, prefix)) matches.push_back(command);
        return matches;
    }
    if (catalogue_stale_ && !lost_) {
        catalogue_stale_ = false;
        catalogue_names_.clear();
        std::vector<std::string> tables;
        for (const char* query : kTableCatalogues) {
            void* result = nullptr;
            int columns = 0, affected = 0;
            int64_t rows = 0;
            int status = KVC_ExecwithDataReader(conn_, query, &result, &columns, &rows, &affected);
            Table names;
            bool more = true;
            if (status >= 0 && result && reader_.describe(&result, names).empty() && names.columns.size() == 1)
                reader_.read_rows(&result, names, kMaxTablesForColumns, more);
            KVC_FreeRowset(&result);
            if (status == KVC_NET_ERROR) lost_ = true;
            if (status < 0) continue;
            for (size_t r = 0; r < names.row_count(); ++r) tables.emplace_back(names.cell(r, 0));
            break;
        }
        for (const std::string& table : tables) {
            catalogue_names_.push_back(table);
            // The columns come from the description of a query that returns no row.
            std::string quoted = "\"";
            for (char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            std::string query = "SELECT * FROM " + quoted + "\" WHERE 1 = 0";
            void* result = nullptr;
            int columns = 0, affected = 0;
            int64_t rows = 0;
            Table description;
            if (KVC_ExecwithDataReader(conn_, query.c_str(), &result, &columns, &rows, &affected) >= 0 && result &&
                reader_.describe(&result, description).empty()) {
                for (const auto& column : description.columns) catalogue_names_.push_back(column.name);
            }
            KVC_FreeRowset(&result);
        }
        std::sort(catalogue_names_.begin(), catalogue_names_.end());
        catalogue_names_.erase(std::unique(catalogue_names_.begin(), catalogue_names_.end()), catalogue_names_.end());
    }
    for (const char* keyword : kSqlKeywords)
        if (starts_with_ignoring_case(keyword, prefix)) matches.push_back(keyword);
    for (const std::string& name : catalogue_names_)
        if (starts_with_ignoring_case(name, prefix)) matches.push_back(name);
    return matches;
}

}  // namespace kvcsql
