// Turns a libkvc result into blocks of texts, through the public interface only.
#pragma once

#include <string>
#include <vector>

#include "table.h"

namespace kvcsql {

class ResultReader {
public:
    ResultReader() = default;
    ResultReader(const ResultReader&) = delete;
    ResultReader& operator=(const ResultReader&) = delete;
    ~ResultReader();

    // On a connection with LOB_RET=on large objects arrive as a form byte and
    // their content or a descriptor: their content is then fetched and shown.
    void set_lob_descriptors(bool on) { lob_descriptors_ = on; }

    // Reads the column description of *result into table.columns (replacing
    // them) and how each column will be read. Returns "" or a message.
    std::string describe(void** result, Table& table);

    // Appends up to max_rows of the remaining rows of *result to table;
    // more is true when rows are left. Returns "" or a message.
    std::string read_rows(void** result, Table& table, size_t max_rows, bool& more);

    // Binary values are shown as \x followed by hex digits.
    static std::string hex_text(const unsigned char* bytes, size_t length);

    // The shortest text that reads back as the same double (or float).
    static std::string shortest_text(double value, bool single_precision);

    // Output values of a procedure arrive as text, a double with all its 17
    // digits ("19.989999999999998"): such a text is shortened the same way.
    // Any other text is returned as it is.
    static std::string brief_number(const std::string& text);

    // How a column's values are fetched and shown, by its C type.
    enum class CellForm { Text, Binary, Double, Float, ClobContent, BlobContent };
    static CellForm form_of(int c_type, bool lob_descriptors = false);

private:
    // Adds the value of column col (from 1) of the current row to table.
    int read_cell(void** result, int col, CellForm form, Table& table);
    int read_number(void** result, int col, CellForm form, Table& table);
    int read_lob(void** result, int col, CellForm form, Table& table);

    bool lob_descriptors_ = false;
    std::vector<CellForm> forms_;
    std::vector<char> buffer_ = std::vector<char>(256);
    std::string hex_;
    void* lob_ = nullptr;  // reused for every large object read
};

}  // namespace kvcsql
