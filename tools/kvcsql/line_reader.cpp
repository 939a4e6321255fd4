#include "line_reader.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef KVCSQL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace kvcsql {

bool StreamLineReader::read_line(const std::string&, std::string& line) {
    if (!std::getline(in_, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // scripts written on Windows
    return true;
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
    bool read_line(const std::string& prompt, std::string& line) override {
        char* text = readline(prompt.c_str());
        if (!text) return false;
        line = text;
        std::free(text);
        return true;
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
    bool read_line(const std::string& prompt, std::string& line) override {
        std::fputs(prompt.c_str(), out_);
        std::fflush(out_);
        return static_cast<bool>(std::getline(std::cin, line));
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
