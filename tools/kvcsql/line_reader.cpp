#include "line_reader.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef KVCSQL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace kvcsql {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The end of a terminal read: Ctrl-C cut it short, or the input really ended.
ReadResult end_or_interrupt() {
    if (!g_interrupted) return ReadResult::End;
    g_interrupted = 0;
    return ReadResult::Interrupted;
}

}  // namespace

void note_interrupt() { g_interrupted = 1; }

ReadResult StreamLineReader::read_line(const std::string&, std::string& line) {
    if (!std::getline(in_, line)) return ReadResult::End;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // scripts written on Windows
    return ReadResult::Line;
}

namespace {

#ifdef KVCSQL_HAVE_LIBEDIT

const int kHistoryLines = 1000;

class EditLineReader : public LineReader {
public:
    explicit EditLineReader(FILE* terminal_out) {
        // Standard output is not the terminal here (it carries the library's
        // diagnostics); the editor must draw on the stream of the results.
        rl_instream = stdin;
        rl_outstream = terminal_out;
        const char* home = std::getenv("HOME");
        if (home && *home) history_path_ = std::string(home) + "/.kvcsql_history";
        rl_readline_name = "kvcsql";
        using_history();
        stifle_history(kHistoryLines);
        if (!history_path_.empty()) read_history(history_path_.c_str());
    }
    ~EditLineReader() override {
        if (!history_path_.empty()) write_history(history_path_.c_str());
        clear_history();
    }
    ReadResult read_line(const std::string& prompt, std::string& line) override {
        g_interrupted = 0;
        char* text = readline(prompt.c_str());
        if (!text) return end_or_interrupt();
        line = text;
        std::free(text);
        return ReadResult::Line;
    }
    void remember(const std::string& entry) override {
        if (!entry.empty()) add_history(entry.c_str());
    }

private:
    std::string history_path_;
};

#else

class PlainTerminalReader : public LineReader {
public:
    explicit PlainTerminalReader(FILE* terminal_out) : out_(terminal_out) {}
    ReadResult read_line(const std::string& prompt, std::string& line) override {
        g_interrupted = 0;
        std::fputs(prompt.c_str(), out_);
        std::fflush(out_);
        if (std::getline(std::cin, line)) return ReadResult::Line;
        std::cin.clear();
        return end_or_interrupt();
    }

private:
    FILE* out_;
};

#endif

}  // namespace

std::unique_ptr<LineReader> make_terminal_reader(FILE* terminal_out) {
#ifdef KVCSQL_HAVE_LIBEDIT
    return std::make_unique<EditLineReader>(terminal_out);
#else
    return std::make_unique<PlainTerminalReader>(terminal_out);
#endif
}

}  // namespace kvcsql
