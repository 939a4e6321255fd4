// The statement loop of kvcsql: runs SQL and meta-commands on one connection
// and prints what comes back.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "line_reader.h"
#include "param_args.h"
#include "result_reader.h"
#include "splitter.h"
#include "table.h"

namespace kvcsql {

class BoundParams;

struct ShellSettings {
    bool csv = false;
    bool timing = false;
    bool quiet = false;
    bool stop_on_error = false;
    bool echo = false;      // scripts: print each input line as it is read
    bool progress = false;  // standard error is a terminal: show progress of long waits
};

class Shell {
public:
    // conn: the address of an open connection handle, which stays the caller's.
    Shell(void** conn, std::ostream& out, std::ostream& err, const ShellSettings& settings);

    // Runs the lines of reader until their end or \q. Interactive: prompts,
    // history, and nothing stops at an error.
    void run(LineReader& reader, bool interactive);

    // True when a statement or meta-command failed (the exit status is 1).
    bool failed() const { return failed_; }
    bool quit_requested() const { return quit_; }

private:
    // A line that starts with a backslash.
    void run_meta(const std::string& line);
    void run_sql(const std::string& sql);
    bool bind_pending_params(BoundParams& params, bool allow_outputs);

    // Meta-commands.
    void meta_timing(const std::string& args);
    void meta_csv(const std::string& args);
    void meta_bind(const std::string& args);
    void meta_prepare(const std::string& sql);
    void meta_execute(const std::string& args);
    void meta_deallocate(const std::string& name);
    void meta_call(const std::string& sql);
    void meta_batch_start(const std::string& sql);
    void batch_line(const std::string& line);
    void batch_finish();
    void meta_declare(const std::string& args);
    void meta_fetch(const std::string& args);
    void meta_close(const std::string& name);

    // Prints every result of the chain in *result, releases it, then reports
    // the failure when status is negative. Returns true when status is not.
    // sql_class (fun_sql_type) tells a statement that changes rows, whose
    // count is shown even when 0, from one such as CREATE, shown as "OK".
    bool report_reply(int status, void** result, const std::string& error_before, int sql_class = kChangesRows);
    static const int kChangesRows = 2;
    void print_rows(void** result);
    void print_table(const Table& table);
    void report_error(int status, void** handle);
    void report_notice(const std::string& error_before);
    void fail(const std::string& message);
    std::string conn_error_text();
    void print_timing(double ms);

    void** conn_;
    std::ostream& out_;
    std::ostream& err_;
    ShellSettings settings_;
    bool failed_ = false;
    bool quit_ = false;
    ResultReader reader_;

    std::vector<ParamArg> next_params_;  // from \bind, for the next statement

    // \batch: the statement, and the argument rows read so far.
    bool batch_active_ = false;
    std::string batch_sql_;
    std::vector<std::vector<ParamArg>> batch_rows_;
};

}  // namespace kvcsql
