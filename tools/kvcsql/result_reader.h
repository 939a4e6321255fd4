// Turns a libkvc result into a Table of texts, through the public interface only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "table.h"

namespace kvcsql {

class ResultReader {
public:
    // Called every few thousand rows with (rows read, rows in the result).
    using Progress = std::function<void(size_t done, size_t total)>;

    // Reads the column names and every remaining row of *result into table
    // (rows are appended). Returns "" or a message on a conversion failure.
    std::string read(void** result, Table& table, const Progress& progress);

    // Binary values are shown as \x followed by hex digits.
    static std::string hex_text(const unsigned char* bytes, size_t length);

    // The shortest text that reads back as the same double (or float).
    static std::string shortest_text(double value, bool single_precision);

    // How a column's values are fetched and shown, by its C type.
    enum class CellForm { Text, Binary, Double, Float };
    static CellForm form_of(int c_type);

private:
    // Adds the value of column col (from 1) of the current row to table.
    int read_cell(void** result, int col, CellForm form, Table& table);
    int read_number(void** result, int col, CellForm form, Table& table);

    std::vector<char> buffer_ = std::vector<char>(256);
    std::string hex_;
};

}  // namespace kvcsql
