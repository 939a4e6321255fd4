#include "bound_params.h"

#include <cstring>
#include <fstream>
#include <kvc.h>

namespace kvcsql {

namespace {

// Room for a procedure's output value shown as text.
const size_t kOutputBuffer = 4096;
// Large-object files are read in pieces of this size.
const size_t kLobPiece = 65536;

std::string bind_failure(int status, int param_no) {
    return "cannot bind parameter " + std::to_string(param_no) + " (status " + std::to_string(status) + ")";
}

}  // namespace

BoundParams::~BoundParams() {
    if (set_) KVC_Drop(&set_);
    for (void*& lob : lobs_) KVC_Distroy_Lob(&lob);
}

std::string BoundParams::ensure_set() {
    if (set_) return std::string();
    int status = KVC_CreateParams(&set_);
    return status == KVC_OK ? std::string() : "cannot create a parameter set (status " + std::to_string(status) + ")";
}

std::string BoundParams::add_lob(const ParamArg& arg, int param_no) {
    void* lob = nullptr;
    if (KVC_Create_Lob(&lob) != KVC_OK || !lob) return "cannot create a large object";
    lobs_.push_back(lob);
    if (arg.kind == ParamArg::ClobText) {
        KVC_Put_Lob_data(&lob, arg.text.data(), static_cast<int>(arg.text.size()));
    } else {
        std::ifstream file(arg.text, std::ios::binary);
        if (!file) return "cannot read " + arg.text;
        std::vector<char> piece(kLobPiece);
        while (file) {
            file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
            std::streamsize got = file.gcount();
            if (got > 0) KVC_Put_Lob_data(&lob, piece.data(), static_cast<int>(got));
        }
        if (file.bad()) return "cannot read " + arg.text;
    }
    KVC_Put_Lob_data(&lob, nullptr, -1);  // complete: only a complete object is sent
    // An input value is copied at binding: the copy holds the handle itself.
    int c_type = arg.kind == ParamArg::BlobFile ? KVC_C_BLOB : KVC_C_CLOB;
    int length = static_cast<int>(sizeof lob);
    int status = KVC_BindParamByPos(&set_, param_no, KVC_PARAM_IN, c_type, &lob, length, &length);
    return status == KVC_OK ? std::string() : bind_failure(status, param_no);
}

std::string BoundParams::bind_row(const std::vector<ParamArg>& args, bool allow_outputs) {
    std::string error = ensure_set();
    if (!error.empty()) return error;
    for (size_t i = 0; i < args.size(); ++i) {
        const ParamArg& arg = args[i];
        const int param_no = static_cast<int>(i + 1);
        int status = KVC_OK;
        int length = 0;
        switch (arg.kind) {
        case ParamArg::Null: {
            char empty[1] = {0};  // length 0 sends a null
            status = KVC_BindParamByPos(&set_, param_no, KVC_PARAM_IN, KVC_C_CHAR, empty, 0, &length);
            break;
        }
        case ParamArg::Integer: {
            int64_t value = arg.integer;
            length = sizeof value;
            status = KVC_BindParamByPos(&set_, param_no, KVC_PARAM_IN, KVC_C_BIGINT, &value, length, &length);
            break;
        }
        case ParamArg::Double: {
            double value = arg.real;
            length = sizeof value;
            status = KVC_BindParamByPos(&set_, param_no, KVC_PARAM_IN, KVC_C_DOUBLE, &value, length, &length);
            break;
        }
        case ParamArg::Text:
            length = static_cast<int>(arg.text.size());
            status = KVC_BindParamByPos(&set_, param_no, KVC_PARAM_IN, KVC_C_CHAR,
                                        const_cast<char*>(arg.text.c_str()), length, &length);
            break;
        case ParamArg::ClobText:
        case ParamArg::ClobFile:
        case ParamArg::BlobFile:
            error = add_lob(arg, param_no);
            if (!error.empty()) return error;
            continue;
        case ParamArg::Out:
        case ParamArg::InOut:
        case ParamArg::Return: {
            if (!allow_outputs) return "out, inout: and ret are for \\call";
            // The procedure call sends one parameter fewer when the last slot
            // is the return value, so it has to be the last one.
            if (arg.kind == ParamArg::Return && i + 1 != args.size()) return "ret must be the last argument";
            auto slot = std::make_unique<OutSlot>();
            slot->param_no = param_no;
            slot->buffer.assign(kOutputBuffer, '\0');
            slot->direction = arg.kind == ParamArg::Out ? KVC_PARAM_OUT
                              : arg.kind == ParamArg::InOut ? KVC_PARAM_INOUT : KVC_PARAM_RETURN;
            if (arg.kind == ParamArg::InOut) {
                size_t n = std::min(arg.text.size(), kOutputBuffer - 1);
                std::memcpy(slot->buffer.data(), arg.text.data(), n);
                slot->length = static_cast<int>(n);
            }
            status = KVC_BindParamByPos(&set_, param_no, slot->direction, KVC_C_CHAR, slot->buffer.data(),
                                        static_cast<int>(slot->buffer.size()), &slot->length);
            outs_.push_back(std::move(slot));
            break;
        }
        }
        if (status != KVC_OK) return bind_failure(status, param_no);
    }
    return std::string();
}

std::vector<BoundParams::Output> BoundParams::outputs() const {
    std::vector<Output> result;
    for (const auto& slot : outs_) {
        Output out;
        out.label = slot->direction == KVC_PARAM_RETURN ? "return" : "$" + std::to_string(slot->param_no);
        // -1: nothing arrived; an output of length 0 is the server's null.
        out.is_null = slot->length < 0 || (slot->length == 0 && slot->direction != KVC_PARAM_INOUT);
        if (!out.is_null) {
            size_t n = std::min(static_cast<size_t>(slot->length), slot->buffer.size());
            out.value.assign(slot->buffer.data(), n);
            out.truncated = static_cast<size_t>(slot->length) > slot->buffer.size();
        }
        result.push_back(out);
    }
    return result;
}

std::string BoundParams::bind_arrays(const std::vector<std::vector<ParamArg>>& rows, size_t first,
                                     size_t count) {
    std::string error = ensure_set();
    if (!error.empty()) return error;
    const size_t columns = rows[first].size();
    for (size_t col = 0; col < columns; ++col) {
        // The column's type: the narrowest that holds every value in it.
        bool all_integers = true, all_numbers = true;
        for (size_t r = first; r < first + count; ++r) {
            const ParamArg& arg = rows[r][col];
            if (arg.kind == ParamArg::Null) continue;
            if (arg.kind != ParamArg::Integer) all_integers = false;
            if (arg.kind != ParamArg::Integer && arg.kind != ParamArg::Double) all_numbers = false;
            if (arg.kind != ParamArg::Integer && arg.kind != ParamArg::Double && arg.kind != ParamArg::Text)
                return "batch rows hold plain values only (numbers, texts, NULL)";
        }
        std::vector<char> block;
        std::vector<int> lengths(count);
        int c_type;
        if (all_integers || all_numbers) {
            c_type = all_integers ? KVC_C_BIGINT : KVC_C_DOUBLE;
            block.resize(count * 8);
            for (size_t r = 0; r < count; ++r) {
                const ParamArg& arg = rows[first + r][col];
                if (arg.kind == ParamArg::Null) continue;  // length 0 sends a null
                if (all_integers) {
                    std::memcpy(&block[r * 8], &arg.integer, 8);
                } else {
                    double v = arg.kind == ParamArg::Integer ? static_cast<double>(arg.integer) : arg.real;
                    std::memcpy(&block[r * 8], &v, 8);
                }
                lengths[r] = 8;
            }
        } else {
            // Each text element: its length as a 32-bit integer, then its bytes.
            c_type = KVC_C_CHAR;
            for (size_t r = 0; r < count; ++r) {
                const ParamArg& arg = rows[first + r][col];
                int32_t n = arg.kind == ParamArg::Null ? 0 : static_cast<int32_t>(arg.text.size());
                const char* prefix = reinterpret_cast<const char*>(&n);
                block.insert(block.end(), prefix, prefix + 4);
                if (n > 0) block.insert(block.end(), arg.text.begin(), arg.text.end());
                lengths[r] = n;
            }
        }
        const int param_no = static_cast<int>(col + 1);
        int status = KVC_BindParamArrayByPos(&set_, param_no, static_cast<int>(columns), KVC_PARAM_IN, c_type,
                                             static_cast<int>(count), block.data(),
                                             static_cast<int64_t>(block.size()), lengths.data());
        blocks_.push_back(std::move(block));
        lengths_.push_back(std::move(lengths));
        if (status != KVC_OK) return bind_failure(status, param_no);
    }
    return std::string();
}

}  // namespace kvcsql
