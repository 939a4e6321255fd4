// Where kvcsql's input lines come from: a terminal with line editing, or a stream.
#pragma once

#include <cstdio>
#include <istream>
#include <memory>
#include <string>

namespace kvcsql {

enum class ReadResult {
    Line,         // a line was read
    End,          // end of input
    Interrupted,  // Ctrl-C at the prompt: the statement being typed is dropped
};

// Called from the SIGINT handler (async-signal-safe): the next read that the
// signal cuts short reports Interrupted instead of the end of input.
void note_interrupt();

class LineReader {
public:
    virtual ~LineReader() = default;
    // Reads one line without its line feed.
    virtual ReadResult read_line(const std::string& prompt, std::string& line) = 0;
    // Called for each complete statement or meta-command, for the history.
    virtual void remember(const std::string& entry) { (void)entry; }
};

// Lines of a script or of standard input that is not a terminal: no prompt.
class StreamLineReader : public LineReader {
public:
    explicit StreamLineReader(std::istream& in) : in_(in) {}
    ReadResult read_line(const std::string& prompt, std::string& line) override;

private:
    std::istream& in_;
};

// The terminal, with libedit's line editing and a history kept in
// ~/.kvcsql_history between sessions (a plain prompt without libedit).
// Prompt and echo go to terminal_out, the stream of the results.
std::unique_ptr<LineReader> make_terminal_reader(FILE* terminal_out);

}  // namespace kvcsql
