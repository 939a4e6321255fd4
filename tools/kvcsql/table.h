// A block of result rows held as text, and the output formats that print it.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kvcsql {

struct TableColumn {
    std::string name;
    bool right_aligned = false;  // numbers line up on their last digit (and are bare in JSON)
};

// Cell texts live back to back in one buffer, so that reading a large result
// costs no allocation per value. A block is printed and then cleared, so its
// size, not the result's, bounds the memory.
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

struct OutputFormat {
    enum class Kind { Aligned, Unaligned, Csv, Json };
    Kind kind = Kind::Aligned;
    bool expanded = false;     // one line per column, records one below the other
    bool tuples_only = false;  // rows only: no header, no record labels, no footer
    bool footer = true;        // "(N rows)" after aligned and unaligned results
    std::string field_separator = "|";  // unaligned
    std::string null_text = "NULL";     // aligned and unaligned (CSV: empty field, JSON: null)

    // CSV and JSON output is data only: status and timing lines go elsewhere.
    bool data_only() const { return kind == Kind::Csv || kind == Kind::Json; }
};

// Prints one result block by block as its rows arrive. The aligned format
// sizes its columns per block: a column can widen in a later block, earlier
// rows stay as printed.
class RowPrinter {
public:
    RowPrinter(std::ostream& out, const OutputFormat& format) : out_(out), format_(format) {}

    // The rows of table; its columns are the result's. The first block also
    // prints the header, so an empty result is still shown with its columns.
    void print_block(const Table& table);
    // The end of the result: the row-count footer where the format has one.
    void finish();
    size_t rows_printed() const { return rows_; }

private:
    void aligned(const Table& table);
    void expanded(const Table& table);
    void unaligned(const Table& table);
    void csv(const Table& table);
    void json(const Table& table);
    const std::string& shown(const Table& table, size_t row, size_t col);

    std::ostream& out_;
    OutputFormat format_;
    bool header_done_ = false;
    size_t rows_ = 0;
    std::vector<size_t> widths_;
    std::vector<std::string> cells_;  // the block's displayable texts, reused
    std::string scratch_;
};

// One block printed whole in the aligned form: names centred over a dashed
// rule, numbers right-aligned, NULL shown as "NULL", control characters
// escaped; then "(N rows)" unless footer is false.
void print_aligned(const Table& table, std::ostream& out, bool footer);

// CSV as RFC 4180 quotes it (lines end in a line feed): a header line of names,
// fields quoted when they are empty or hold a comma,
// quote or line break; NULL is an empty unquoted field, an empty text "".
void print_csv(const Table& table, std::ostream& out);

// "(1 row)" or "(N rows)".
std::string row_count_footer(size_t rows);

// Width on a terminal in cells: wide (CJK, emoji) characters take two,
// combining marks none; bytes that are not UTF-8 one each.
size_t display_width(std::string_view text);

// The text as a JSON string, quotes included.
std::string json_string(std::string_view text);

}  // namespace kvcsql
