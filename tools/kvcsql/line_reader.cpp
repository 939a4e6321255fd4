#include "line_reader.h"

#include <cstdlib>
#include <cstring>
#include <editline/readline.h>

#include "interrupt.h"

namespace kvcsql {

ReadResult StreamLineReader::read_line(const std::string&, std::string& line) {
    if (!std::getline(in_, line)) return ReadResult::End;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // scripts written on Windows
    return ReadResult::Line;
}

namespace {

const int kHistoryLines = 1000;

// readline's completion hooks are plain functions: they reach the one
// terminal reader through these.
Completer g_completer;
std::vector<std::string> g_matches;

char* next_match(const char* text, int state) {
    if (state == 0) g_matches = g_completer ? g_completer(text) : std::vector<std::string>();
    size_t index = static_cast<size_t>(state);
    return index < g_matches.size() ? strdup(g_matches[index].c_str()) : nullptr;
}

char** complete(const char* text, int, int) {
    rl_attempted_completion_over = 1;  // no file names as a fallback
    return rl_completion_matches(text, next_match);
}

class EditLineReader : public LineReader {
public:
    EditLineReader(FILE* terminal_out, Completer completer) {
        // Standard output is not the terminal here (it carries the library's
        // diagnostics); the editor must draw on the stream of the results.
        rl_instream = stdin;
        rl_outstream = terminal_out;
        const char* home = std::getenv("HOME");
        if (home && *home) history_path_ = std::string(home) + "/.kvcsql_history";
        rl_readline_name = "kvcsql";
        g_completer = std::move(completer);
        rl_attempted_completion_function = complete;
        using_history();
        stifle_history(kHistoryLines);
        if (!history_path_.empty()) read_history(history_path_.c_str());
    }
    ~EditLineReader() override {
        if (!history_path_.empty()) write_history(history_path_.c_str());
        clear_history();
        g_completer = nullptr;
    }
    ReadResult read_line(const std::string& prompt, std::string& line) override {
        take_prompt_interrupt();
        char* text = readline(prompt.c_str());
        if (!text) return take_prompt_interrupt() ? ReadResult::Interrupted : ReadResult::End;
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

}  // namespace

std::unique_ptr<LineReader> make_terminal_reader(FILE* terminal_out, Completer completer) {
    return std::make_unique<EditLineReader>(terminal_out, std::move(completer));
}

}  // namespace kvcsql
