#include "result_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <kvc.h>

namespace kvcsql {

namespace {

// Name buffers must hold the longest column name the server may describe.
const int kMaxColumnName = 1024;
// A value longer than this is refused rather than buffered.
const size_t kMaxValueBytes = size_t(1) << 30;

bool is_numeric(int c_type) {
    switch (c_type) {
    case KVC_C_TINYINT: case KVC_C_SHORT: case KVC_C_INT: case KVC_C_BIGINT:
    case KVC_C_FLOAT: case KVC_C_DOUBLE: case KVC_C_NUMERIC:
        return true;
    default:
        return false;
    }
}

}  // namespace

ResultReader::~ResultReader() { KVC_Distroy_Lob(&lob_); }

ResultReader::CellForm ResultReader::form_of(int c_type, bool lob_descriptors) {
    switch (c_type) {
    case KVC_C_CLOB: return lob_descriptors ? CellForm::ClobContent : CellForm::Text;
    case KVC_C_BLOB: return lob_descriptors ? CellForm::BlobContent : CellForm::Binary;
    case KVC_C_BINARY: return CellForm::Binary;
    // The library's own text of a double keeps 16 digits ("0.500000000000000"):
    // the value is fetched as a number and written as briefly as it reads back.
    case KVC_C_DOUBLE: return CellForm::Double;
    case KVC_C_FLOAT: return CellForm::Float;
    default: return CellForm::Text;
    }
}

std::string ResultReader::shortest_text(double value, bool single_precision) {
    char text[64];
    for (int digits = single_precision ? 6 : 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        double back = std::strtod(text, nullptr);
        if (single_precision ? static_cast<float>(back) == static_cast<float>(value) : back == value) break;
    }
    return text;
}

std::string ResultReader::brief_number(const std::string& text) {
    // Fewer digits than a double needs to be exact were written on purpose.
    const size_t kFullPrecisionDigits = 16;
    size_t digits = 0;
    for (char c : text) {
        if (c == 'e' || c == 'E') break;
        if (c >= '0' && c <= '9' && (digits > 0 || c != '0')) ++digits;
    }
    if (digits < kFullPrecisionDigits || text.find_first_of(".eE") == std::string::npos) return text;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') return text;
    return shortest_text(value, false);
}

int ResultReader::read_number(void** result, int col, CellForm form, Table& table) {
    int length = 0;
    double value = 0;
    float single = 0;
    int status = form == CellForm::Double
                     ? KVC_GetData(result, col, KVC_C_DOUBLE, &value, sizeof value, &length)
                     : KVC_GetData(result, col, KVC_C_FLOAT, &single, sizeof single, &length);
    if (status == KVC_NULL_VALUE) {
        table.add_null();
        return KVC_OK;
    }
    if (status != KVC_OK) return read_cell(result, col, CellForm::Text, table);
    table.add_cell(shortest_text(form == CellForm::Double ? value : single, form == CellForm::Float));
    return KVC_OK;
}

std::string ResultReader::hex_text(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "\\x";
    text.reserve(2 + 2 * length);
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// With LOB_RET=on the stored value is a form byte and the content, or a
// descriptor whose content the library fetches: the large-object handle
// receives either, and its bytes are what the user wants to see.
int ResultReader::read_lob(void** result, int col, CellForm form, Table& table) {
    if (!lob_ && KVC_Create_Lob(&lob_) != KVC_OK) return KVC_NO_MEMORY;
    KVC_Reset_Lob(&lob_);
    int length = 0;
    int status = KVC_GetData(result, col, form == CellForm::ClobContent ? KVC_C_CLOB : KVC_C_BLOB, &lob_,
                             sizeof lob_, &length);
    if (status == KVC_NULL_VALUE) {
        table.add_null();
        return KVC_OK;
    }
    if (status != KVC_OK) return status;
    if (length < 0 || static_cast<size_t>(length) > kMaxValueBytes) return KVC_TRUNCATED;
    buffer_.resize(std::max<size_t>(buffer_.size(), static_cast<size_t>(length) + 1));
    KVC_LobRead_SetPos(&lob_, 0);
    int got = 0;
    while (got < length) {
        int n = KVC_Get_Lob_data(&lob_, buffer_.data() + got, length - got);
        if (n <= 0) break;
        got += n;
    }
    if (form == CellForm::BlobContent) {
        hex_ = hex_text(reinterpret_cast<const unsigned char*>(buffer_.data()), static_cast<size_t>(got));
        table.add_cell(hex_);
    } else {
        table.add_cell(buffer_.data(), static_cast<size_t>(got));
    }
    return KVC_OK;
}

int ResultReader::read_cell(void** result, int col, CellForm form, Table& table) {
    if (form == CellForm::Double || form == CellForm::Float) return read_number(result, col, form, table);
    if (form == CellForm::ClobContent || form == CellForm::BlobContent) return read_lob(result, col, form, table);
    const bool binary = form == CellForm::Binary;
    for (;;) {
        int length = 0;
        int size = static_cast<int>(buffer_.size());
        int status = KVC_GetData(result, col, binary ? KVC_C_BINARY : KVC_C_CHAR, buffer_.data(),
                                 size, &length);
        if (status == KVC_NULL_VALUE) {
            table.add_null();
            return KVC_OK;
        }
        if (status == KVC_TRUNCATED && length > 0) {
            // length is what was left out: the text form keeps one byte for
            // its terminator, the binary form fills the whole buffer.
            size_t whole = static_cast<size_t>(binary ? size : size - 1) + static_cast<size_t>(length);
            if (whole > kMaxValueBytes) return KVC_TRUNCATED;
            buffer_.resize(whole + 1);
            continue;
        }
        if (status == KVC_NO_CONVERSION) {
            table.add_cell("(no text form)", 14);
            return KVC_OK;
        }
        if (status != KVC_OK) return status;
        if (length < 0 || length > size) length = 0;
        if (binary) {
            hex_ = hex_text(reinterpret_cast<const unsigned char*>(buffer_.data()),
                            static_cast<size_t>(length));
            table.add_cell(hex_);
        } else {
            table.add_cell(buffer_.data(), static_cast<size_t>(length));
        }
        return KVC_OK;
    }
}

std::string ResultReader::describe(void** result, Table& table) {
    int columns = 0;
    if (KVC_getResultColumnsnum(result, &columns) != KVC_OK || columns < 0)
        return "the result has no column description";
    table.columns.assign(static_cast<size_t>(columns), TableColumn());
    forms_.assign(static_cast<size_t>(columns), CellForm::Text);
    std::vector<char> name(kMaxColumnName + 1);
    for (int col = 1; col <= columns; ++col) {
        std::fill(name.begin(), name.end(), '\0');
        KVC_getResultcolname(result, col, name.data());
        int c_type = KVC_C_CHAR;
        KVC_getResultcolType(result, col, &c_type);
        TableColumn& column = table.columns[static_cast<size_t>(col - 1)];
        column.name = name.data();
        column.right_aligned = is_numeric(c_type);
        forms_[static_cast<size_t>(col - 1)] = form_of(c_type, lob_descriptors_);
    }
    return std::string();
}

std::string ResultReader::read_rows(void** result, Table& table, size_t max_rows, bool& more) {
    const int columns = static_cast<int>(forms_.size());
    if (table.columns.size() != forms_.size()) return "the result was not described";
    more = false;
    for (size_t done = 0; done < max_rows; ++done) {
        if (KVC_ReadNext(result) != KVC_OK) return std::string();
        for (int col = 1; col <= columns; ++col) {
            int status = read_cell(result, col, forms_[static_cast<size_t>(col - 1)], table);
            if (status != KVC_OK)
                return "cannot read column " + std::to_string(col) + " (status " + std::to_string(status) + ")";
        }
    }
    more = true;
    return std::string();
}

}  // namespace kvcsql
