// Splits input lines into SQL statements at ";" outside quotes and comments.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kvcsql {

// \set variables by name.
using Variables = std::map<std::string, std::string>;

class StatementSplitter {
public:
    // Outside quotes and comments, :NAME becomes the value of variable NAME
    // and :'NAME' that value as a quoted literal; unknown names stay as written.
    void set_variables(const Variables* variables) { variables_ = variables; }

    // Adds one input line (without its line feed). Every statement completed
    // by a ";" in it is appended to out, trimmed and without the ";"; empty
    // statements are dropped. Comments are left out of the statement text, so
    // that the first word of a statement is its keyword.
    void feed_line(const std::string& line, std::vector<std::string>& out);

    // True while unterminated statement text is waiting for its ";".
    bool pending() const;

    // True inside a quoted text or a block comment, where a backslash line is
    // part of the statement rather than a meta-command.
    bool inside_literal() const { return state_ != State::Code; }

    // The unterminated rest at the end of input (trimmed, possibly empty); the
    // splitter is empty afterwards.
    std::string take_rest();

    // The prompt marker: '\'' or '"' inside quotes, '*' in a block comment,
    // '-' while a statement is pending, '=' otherwise.
    char prompt_marker() const;

    void reset();

private:
    enum class State { Code, SingleQuote, DoubleQuote, BlockComment };
    State state_ = State::Code;
    std::string buffer_;
    const Variables* variables_ = nullptr;
};

// :NAME and :'NAME' substituted in a meta-command line (not inside quotes).
std::string substitute_variables(const std::string& text, const Variables& variables);

// The number of "?" placeholders of an SQL text, outside quotes and comments.
int count_placeholders(const std::string& sql);

// The text with blanks (spaces, tabs, line feeds, carriage returns) removed at both ends.
std::string trim(const std::string& text);

}  // namespace kvcsql
