// A parameter set that kvcsql makes from \bind, \execute and \batch arguments,
// with every buffer and large object it refers to; all released together.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "param_args.h"

namespace kvcsql {

class BoundParams {
public:
    BoundParams() = default;
    BoundParams(const BoundParams&) = delete;
    BoundParams& operator=(const BoundParams&) = delete;
    ~BoundParams();

    // Binds one row of single values by position. Output kinds (out, inout:,
    // ret) are refused unless allow_outputs. Returns "" or a message.
    std::string bind_row(const std::vector<ParamArg>& args, bool allow_outputs);

    // Binds rows [first, first + count) as arrays, one per column: integers
    // as 64-bit integers, numbers as doubles, anything else as text.
    std::string bind_arrays(const std::vector<std::vector<ParamArg>>& rows, size_t first, size_t count);

    // The address of the set handle, for KVC_BindParams2Conn.
    void** handle() { return &set_; }

    struct Output {
        std::string label;   // parameter position, or "return"
        bool is_null = false;
        std::string value;
        bool truncated = false;
    };
    // What a procedure call wrote into the output parameters.
    std::vector<Output> outputs() const;
    bool has_outputs() const { return !outs_.empty(); }

private:
    std::string ensure_set();
    std::string add_lob(const ParamArg& arg, int param_no);

    struct OutSlot {
        int param_no = 0;
        int direction = 0;
        std::vector<char> buffer;
        int length = -1;  // -1 until the reply delivers a value
    };

    void* set_ = nullptr;
    std::vector<void*> lobs_;
    std::vector<std::unique_ptr<OutSlot>> outs_;  // addresses handed to the library stay put
    std::vector<std::vector<char>> blocks_;
    std::vector<std::vector<int>> lengths_;
};

}  // namespace kvcsql
