// Parameter arguments of the \bind, \execute and \batch meta-commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvcsql {

struct ParamArg {
    enum Kind {
        Null,      // NULL
        Integer,   // 42, -7
        Double,    // 4.5, 1e3
        Text,      // 'text' or a bare word
        ClobText,  // clob:'text'
        ClobFile,  // clob:@FILE
        BlobFile,  // blob:@FILE
        Out,       // out: an output parameter
        InOut,     // inout:ARG: an input-output parameter starting with ARG's text
        Return,    // ret: the return value of a procedure
    };
    Kind kind = Null;
    std::string text;   // the value as text (literal, file name, or the inout start value)
    int64_t integer = 0;
    double real = 0;
};

// Splits args at blanks (quoted texts may hold blanks; '' inside quotes is one
// quote) and classifies each argument. Returns "" or a message for the user.
std::string parse_param_args(const std::string& args, std::vector<ParamArg>& out);

// Splits off the first blank-separated word of text; the rest is trimmed.
void split_first_word(const std::string& text, std::string& word, std::string& rest);

}  // namespace kvcsql
