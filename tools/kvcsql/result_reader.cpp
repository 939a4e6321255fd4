#include "result_reader.h"

#include <cstdio>
#include <cstdlib>
#include <kvc.h>

namespace kvcsql {

namespace {

// Name buffers must hold the longest column name the server may describe.
const int kMaxColumnName = 1024;
const size_t kProgressStep = 16384;
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

ResultReader::CellForm ResultReader::form_of(int c_type) {
    switch (c_type) {
    case KVC_C_BINARY: case KVC_C_BLOB: return CellForm::Binary;
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

int ResultReader::read_cell(void** result, int col, CellForm form, Table& table) {
    if (form == CellForm::Double || form == CellForm::Float) return read_number(result, col, form, table);
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

std::string ResultReader::read(void** result, Table& table, const Progress& progress) {
    int columns = 0;
    if (KVC_getResultColumnsnum(result, &columns) != KVC_OK || columns < 0)
        return "the result has no column description";
    int total_rows = 0;
    KVC_getResultRecordnum(result, &total_rows);

    std::vector<CellForm> forms(static_cast<size_t>(columns));
    if (table.columns.empty()) {
        std::vector<char> name(kMaxColumnName + 1);
        for (int col = 1; col <= columns; ++col) {
            std::fill(name.begin(), name.end(), '\0');
            KVC_getResultcolname(result, col, name.data());
            int c_type = KVC_C_CHAR;
            KVC_getResultcolType(result, col, &c_type);
            TableColumn column;
            column.name = name.data();
            column.right_aligned = is_numeric(c_type);
            table.columns.push_back(column);
            forms[static_cast<size_t>(col - 1)] = form_of(c_type);
        }
    } else {
        for (int col = 1; col <= columns; ++col) {
            int c_type = KVC_C_CHAR;
            KVC_getResultcolType(result, col, &c_type);
            forms[static_cast<size_t>(col - 1)] = form_of(c_type);
        }
    }
    if (static_cast<size_t>(columns) != table.columns.size())
        return "a later block has a different number of columns";

    size_t done = 0;
    while (KVC_ReadNext(result) == KVC_OK) {
        for (int col = 1; col <= columns; ++col) {
            int status = read_cell(result, col, forms[static_cast<size_t>(col - 1)], table);
            if (status != KVC_OK)
                return "cannot read column " + std::to_string(col) + " (status " + std::to_string(status) + ")";
        }
        if (++done % kProgressStep == 0 && progress) progress(done, static_cast<size_t>(total_rows));
    }
    return std::string();
}

}  // namespace kvcsql
