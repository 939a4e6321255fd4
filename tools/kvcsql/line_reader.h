// Where kvcsql's input lines come from: a terminal with line editing, or a stream.
#pragma once

#include <cstdio>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace kvcsql {

enum class ReadResult {
    Line,         // a line was read
    End,          // end of input
    Interrupted,  // Ctrl-C at the prompt: the statement being typed is dropped
};

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

// The words that Tab may complete a word beginning with the given prefix to.
using Completer = std::function<std::vector<std::string>(const std::string& prefix)>;

// The terminal, with libedit's line editing, Tab completion and a history
// kept in ~/.kvcsql_history between sessions. Prompt and echo go to
// terminal_out, the stream of the results.
std::unique_ptr<LineReader> make_terminal_reader(FILE* terminal_out, Completer completer);

}  // namespace kvcsql
