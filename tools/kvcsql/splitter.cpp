#include "splitter.h"

namespace kvcsql {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

namespace {

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// At text[i] == ':': appends the value of :NAME or :'NAME' to out and moves
// i past it. false (nothing done) for "::", an unknown name or no name.
bool expand_variable(const std::string& text, size_t& i, const Variables& variables, std::string& out) {
    if (i > 0 && text[i - 1] == ':') return false;
    size_t at = i + 1;
    bool quoted = at < text.size() && text[at] == '\'';
    if (quoted) ++at;
    size_t end = at;
    while (end < text.size() && is_name_char(text[end])) ++end;
    if (end == at || (quoted && (end >= text.size() || text[end] != '\''))) return false;
    auto found = variables.find(text.substr(at, end - at));
    if (found == variables.end()) return false;
    if (quoted) {
        out += '\'';
        for (char c : found->second) out += c == '\'' ? std::string("''") : std::string(1, c);
        out += '\'';
        ++end;
    } else {
        out += found->second;
    }
    i = end;
    return true;
}

}  // namespace

std::string substitute_variables(const std::string& text, const Variables& variables) {
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\'') quoted = !quoted;
        if (!quoted && c == ':' && expand_variable(text, i, variables, out)) continue;
        out += c;
        ++i;
    }
    return out;
}

int count_placeholders(const std::string& sql) {
    int count = 0;
    char quote = 0;
    for (size_t i = 0; i < sql.size(); ++i) {
        char c = sql[i];
        char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '-' && next == '-') {
            i = sql.find('\n', i);
            if (i == std::string::npos) break;
        } else if (c == '/' && next == '*') {
            i = sql.find("*/", i + 2);
            if (i == std::string::npos) break;
            ++i;
        } else if (c == '?') {
            ++count;
        }
    }
    return count;
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
            if (c == ':' && variables_ && expand_variable(line, i, *variables_, buffer_)) continue;
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
