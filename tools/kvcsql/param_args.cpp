#include "param_args.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "splitter.h"

namespace kvcsql {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads one argument starting at pos: quoted parts are unquoted; quoted tells
// whether any part was quoted (a quoted 42 is a text, not a number) and
// plain_length how many characters came before the first quote (a prefix
// such as clob: counts only there).
std::string read_word(const std::string& s, size_t& pos, bool& quoted, size_t& plain_length,
                      std::string& error) {
    std::string word;
    quoted = false;
    plain_length = std::string::npos;
    while (pos < s.size() && !is_blank(s[pos])) {
        if (s[pos] != '\'') {
            word += s[pos++];
            continue;
        }
        if (!quoted) plain_length = word.size();
        quoted = true;
        ++pos;
        for (;;) {
            if (pos >= s.size()) {
                error = "unterminated quoted text";
                return word;
            }
            if (s[pos] == '\'') {
                if (pos + 1 < s.size() && s[pos + 1] == '\'') {
                    word += '\'';
                    pos += 2;
                    continue;
                }
                ++pos;
                break;
            }
            word += s[pos++];
        }
    }
    return word;
}

bool parse_integer(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || !(isdigit(static_cast<unsigned char>(text.back())))) return false;
    value = v;
    return true;
}

bool parse_double(const std::string& text, double& value) {
    if (text.empty()) return false;
    // strtod also takes "inf", "nan" and hex forms; only decimal numbers count here.
    if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

bool has_prefix(const std::string& text, size_t plain_length, const char* prefix) {
    size_t n = std::strlen(prefix);
    return n <= plain_length && strncasecmp(text.c_str(), prefix, n) == 0;
}

// The value part of a plain argument (no clob:, blob:, inout: prefix).
void classify_plain(const std::string& word, bool quoted, ParamArg& arg) {
    arg.text = word;
    if (quoted) {
        arg.kind = ParamArg::Text;
    } else if (strcasecmp(word.c_str(), "NULL") == 0) {
        arg.kind = ParamArg::Null;
    } else if (parse_integer(word, arg.integer)) {
        arg.kind = ParamArg::Integer;
    } else if (parse_double(word, arg.real)) {
        arg.kind = ParamArg::Double;
    } else {
        arg.kind = ParamArg::Text;
    }
}

}  // namespace

std::string parse_param_args(const std::string& args, std::vector<ParamArg>& out) {
    size_t pos = 0;
    while (pos < args.size()) {
        if (is_blank(args[pos])) {
            ++pos;
            continue;
        }
        std::string error;
        bool quoted = false;
        size_t plain = 0;
        std::string word = read_word(args, pos, quoted, plain, error);
        if (!error.empty()) return error;
        ParamArg arg;
        const std::string raw = word;
        if (!quoted && strcasecmp(raw.c_str(), "out") == 0) {
            arg.kind = ParamArg::Out;
        } else if (!quoted && strcasecmp(raw.c_str(), "ret") == 0) {
            arg.kind = ParamArg::Return;
        } else if (has_prefix(raw, plain, "clob:@")) {
            arg.kind = ParamArg::ClobFile;
            arg.text = raw.substr(6);
        } else if (has_prefix(raw, plain, "blob:@")) {
            arg.kind = ParamArg::BlobFile;
            arg.text = raw.substr(6);
        } else if (has_prefix(raw, plain, "clob:")) {
            arg.kind = ParamArg::ClobText;
            arg.text = raw.substr(5);
        } else if (has_prefix(raw, plain, "inout:")) {
            classify_plain(raw.substr(6), quoted, arg);
            arg.kind = ParamArg::InOut;
        } else {
            classify_plain(raw, quoted, arg);
        }
        if ((arg.kind == ParamArg::ClobFile || arg.kind == ParamArg::BlobFile) && arg.text.empty())
            return "a file name must follow @";
        out.push_back(arg);
    }
    return std::string();
}

void split_first_word(const std::string& text, std::string& word, std::string& rest) {
    std::string t = trim(text);
    size_t end = t.find_first_of(" \t");
    if (end == std::string::npos) {
        word = t;
        rest.clear();
    } else {
        word = t.substr(0, end);
        rest = trim(t.substr(end));
    }
}

}  // namespace kvcsql
