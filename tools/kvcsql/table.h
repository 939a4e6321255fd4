// A result held as text, and its aligned and CSV forms.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kvcsql {

struct TableColumn {
    std::string name;
    bool right_aligned = false;  // numbers line up on their last digit
};

// Cell texts live back to back in one buffer, so that reading a large result
// costs no allocation per value.
class Table {
public:
    std::vector<TableColumn> columns;

    // Cells are added row by row, column by column.
    void add_cell(const char* text, size_t length) {
        text_.append(text, length);
        ends_.push_back(text_.size());
        nulls_.push_back(false);
    }
    void add_cell(std::string_view text) { add_cell(text.data(), text.size()); }
    void add_null() {
        ends_.push_back(text_.size());
        nulls_.push_back(true);
    }
    size_t row_count() const { return columns.empty() ? 0 : ends_.size() / columns.size(); }
    std::string_view cell(size_t row, size_t col) const {
        size_t i = row * columns.size() + col;
        size_t begin = i ? ends_[i - 1] : 0;
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    bool is_null(size_t row, size_t col) const { return nulls_[row * columns.size() + col]; }
    void clear_rows() {
        text_.clear();
        ends_.clear();
        nulls_.clear();
    }

private:
    std::string text_;
    std::vector<size_t> ends_;
    std::vector<bool> nulls_;
};

// Columns separated by " | ", names centred over a dashed rule, NULL shown
// as "NULL", control characters escaped; then "(N rows)" unless footer is false.
void print_aligned(const Table& table, std::ostream& out, bool footer);

// CSV as RFC 4180 quotes it (lines end in a line feed): a header line of names,
// fields quoted when they are empty or hold a comma,
// quote or line break; NULL is an empty unquoted field, an empty text "".
void print_csv(const Table& table, std::ostream& out);

// "(1 row)" or "(N rows)".
std::string row_count_footer(size_t rows);

// Width on a terminal: UTF-8 code points, one column each.
size_t display_width(std::string_view text);

}  // namespace kvcsql
