// The statement loop of kvcsql: runs SQL and meta-commands on one connection
// and prints what comes back.
#pragma once

#include <fstream>
#include <functional>
#include <map>
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
    OutputFormat format;
    bool timing = false;
    bool quiet = false;
    bool stop_on_error = false;
    bool echo = false;         // scripts: print each input line as it is read
    bool progress = false;     // standard error is a terminal: show progress of long waits
    bool lob_descriptors = false;  // the connection string asks for LOB_RET=on
};

class Shell {
public:
    // conn: the address of an open connection handle, which stays the caller's.
    Shell(void** conn, std::ostream& out, std::ostream& err, const ShellSettings& settings);

    // Runs the lines of reader until their end or \q. Interactive: prompts,
    // history, and nothing stops at an error. source names the script in
    // error messages ("" for -c and the terminal).
    void run(LineReader& reader, bool interactive, const std::string& source = std::string());

    // True when a statement or meta-command failed (the exit status is 1).
    bool failed() const { return failed_; }
    // True when a script stopped because the connection broke (exit status 2).
    bool connection_lost() const { return lost_ && !interactive_; }
    bool quit_requested() const { return quit_; }

    // \set variables, substituted for :NAME in what follows.
    void set_variable(const std::string& name, const std::string& value) { variables_[name] = value; }

    // Names that tab completion offers after prefix: SQL keywords, and the
    // tables and columns that the server's catalogue lists.
    std::vector<std::string> completions(const std::string& prefix);

private:
    bool stopping() const;
    // A line that starts with a backslash.
    void run_meta(const std::string& line);
    void run_sql(const std::string& sql);
    void run_query_through_cursor(const std::string& sql);
    bool bind_pending_params(BoundParams& params, bool allow_outputs);
    // A library call that waits for the server, with the progress line.
    int wait_for_server(const std::function<int()>& call);
    // The same for a whole statement, which Ctrl-C also cancels.
    int run_guarded(const std::function<int()>& call);
    // After a broken connection: reconnect, say so. false when it cannot.
    bool ensure_connected();

    // Meta-commands.
    void meta_help(const std::string& args);
    void meta_timing(const std::string& args);
    void meta_csv(const std::string& args);
    void meta_expanded(const std::string& args);
    void meta_pset(const std::string& args);
    void meta_set(const std::string& args);
    void meta_unset(const std::string& args);
    void meta_include(const std::string& args);
    void meta_output(const std::string& args);
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
    // Prints every row of *result through printer, a block at a time.
    // Returns "" or a message.
    std::string print_rows(void** result, RowPrinter& printer, Table& block);
    void print_table(const Table& table);
    void report_error(int status, void** handle);
    void report_notice(const std::string& error_before);
    void fail(const std::string& message);
    std::string conn_error_text();
    void print_timing(double ms);
    // Where results go (the \o file or standard output) and where status
    // lines go (standard error in the data-only formats).
    std::ostream& results() { return output_file_.is_open() ? output_file_ : out_; }
    std::ostream& status_out() { return settings_.format.data_only() ? err_ : results(); }
    std::string location() const;

    void** conn_;
    std::ostream& out_;
    std::ostream& err_;
    std::ofstream output_file_;
    ShellSettings settings_;
    bool failed_ = false;
    bool quit_ = false;
    bool lost_ = false;
    bool interactive_ = false;
    ResultReader reader_;
    Variables variables_;

    // Where the statement being run came from, for error messages.
    std::string source_;
    int line_ = 0;
    int include_depth_ = 0;
    int socket_fd_ = -1;  // the connection's socket, shut down by Ctrl-C

    std::vector<ParamArg> next_params_;  // from \bind, for the next statement
    std::map<std::string, int> placeholders_;  // \prepare: name -> "?" count

    // \batch: the statement, the argument rows read so far, the first bad row.
    bool batch_active_ = false;
    std::string batch_sql_;
    std::vector<std::vector<ParamArg>> batch_rows_;
    std::string batch_error_;

    // Tab completion: names from the catalogue, read again after a change.
    std::vector<std::string> catalogue_names_;
    bool catalogue_stale_ = true;
};

}  // namespace kvcsql
