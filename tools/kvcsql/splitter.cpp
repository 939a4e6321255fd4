#include "splitter.h"

namespace kvcsql {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void StatementSplitter::feed_line(const std::string& line, std::vector<std::string>& out) {
    if (!buffer_.empty()) buffer_ += '\n';
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        char c = line[i];
        switch (state_) {
        case State::Code:
            if (c == ';') {
                std::string statement = trim(buffer_);
                if (!statement.empty()) out.push_back(statement);
                buffer_.clear();
                ++i;
                continue;
            }
            if (c == '-' && i + 1 < n && line[i + 1] == '-') {
                // A line comment runs to the end of the line; a ";" inside it ends nothing.
                i = n;
                continue;
            }
            if (c == '/' && i + 1 < n && line[i + 1] == '*') {
                i += 2;
                state_ = State::BlockComment;
                continue;
            }
            if (c == '\'') state_ = State::SingleQuote;
            if (c == '"') state_ = State::DoubleQuote;
            break;
        case State::SingleQuote:
            // A doubled quote inside a literal is one quote character: the
            // first closes, the second reopens, which this rule does as well.
            if (c == '\'') state_ = State::Code;
            break;
        case State::DoubleQuote:
            if (c == '"') state_ = State::Code;
            break;
        case State::BlockComment:
            if (c == '*' && i + 1 < n && line[i + 1] == '/') {
                buffer_ += ' ';  // keeps the words on either side apart
                i += 2;
                state_ = State::Code;
            } else {
                ++i;
            }
            continue;
        }
        buffer_ += c;
        ++i;
    }
}

bool StatementSplitter::pending() const {
    return state_ != State::Code || !trim(buffer_).empty();
}

std::string StatementSplitter::take_rest() {
    std::string rest = trim(buffer_);
    reset();
    return rest;
}

char StatementSplitter::prompt_marker() const {
    switch (state_) {
    case State::SingleQuote: return '\'';
    case State::DoubleQuote: return '"';
    case State::BlockComment: return '*';
    case State::Code: break;
    }
    return pending() ? '-' : '=';
}

void StatementSplitter::reset() {
    state_ = State::Code;
    buffer_.clear();
}

}  // namespace kvcsql
