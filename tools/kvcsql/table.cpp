#include "table.h"

#include <algorithm>
#include <clocale>
#include <cwchar>

namespace kvcsql {

namespace {

// Control characters would break the grid: show them as escapes.
void append_displayable(std::string& shown, std::string_view text) {
    for (unsigned char c : text) {
        switch (c) {
        case '\n': shown += "\\n"; break;
        case '\r': shown += "\\r"; break;
        case '\t': shown += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                static const char hex[] = "0123456789abcdef";
                shown += "\\x";
                shown += hex[c >> 4];
                shown += hex[c & 15];
            } else {
                shown += static_cast<char>(c);
            }
        }
    }
}

void pad(std::ostream& out, size_t count) {
    static const char blanks[] = "                                ";
    while (count > 0) {
        size_t n = count < sizeof blanks - 1 ? count : sizeof blanks - 1;
        out.write(blanks, static_cast<std::streamsize>(n));
        count -= n;
    }
}

bool csv_needs_quotes(std::string_view text) {
    return text.empty() || text.find_first_of(",\"\r\n") != std::string::npos;
}

void write_csv_field(std::ostream& out, std::string_view text) {
    if (!csv_needs_quotes(text)) {
        out << text;
        return;
    }
    out << '"';
    for (char c : text) {
        if (c == '"') out << '"';
        out << c;
    }
    out << '"';
}

// A JSON number as the grammar has it: numeric columns are written bare only
// when their text is one (not "inf", not "007").
bool is_json_number(std::string_view s) {
    size_t i = 0, n = s.size();
    auto digits = [&] {
        size_t start = i;
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
        return i > start;
    };
    if (i < n && s[i] == '-') ++i;
    if (i < n && s[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < n && s[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == n;
}

// wcwidth() knows wide characters only under a UTF-8 character type; the
// shell's data is UTF-8 whatever the user's locale, so a locale that cannot
// tell (such as plain "C") is replaced, for the character type alone.
void ensure_wide_char_table() {
    static const bool ready = [] {
        if (wcwidth(0x4E2D) != 2) std::setlocale(LC_CTYPE, "C.UTF-8");
        return true;
    }();
    (void)ready;
}

// Decodes the UTF-8 sequence at text[i]; 0 when it is not one.
size_t decode_utf8(std::string_view text, size_t i, char32_t& code) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0xF8 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    code = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    return length;
}

}  // namespace

size_t display_width(std::string_view text) {
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++width;
            ++i;
            continue;
        }
        ensure_wide_char_table();
        char32_t code = 0;
        size_t length = decode_utf8(text, i, code);
        if (length == 0) {
            ++width;
            ++i;
            continue;
        }
        int cells = wcwidth(static_cast<wchar_t>(code));
        width += cells < 0 ? 1 : static_cast<size_t>(cells);
        i += length;
    }
    return width;
}

std::string json_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string row_count_footer(size_t rows) {
    return rows == 1 ? "(1 row)" : "(" + std::to_string(rows) + " rows)";
}

const std::string& RowPrinter::shown(const Table& table, size_t row, size_t col) {
    scratch_.clear();
    if (table.is_null(row, col))
        scratch_ = format_.null_text;
    else
        append_displayable(scratch_, table.cell(row, col));
    return scratch_;
}

void RowPrinter::print_block(const Table& table) {
    switch (format_.kind) {
    case OutputFormat::Kind::Aligned:
        format_.expanded ? expanded(table) : aligned(table);
        break;
    case OutputFormat::Kind::Unaligned: unaligned(table); break;
    case OutputFormat::Kind::Csv: csv(table); break;
    case OutputFormat::Kind::Json: json(table); break;
    }
    header_done_ = true;
    rows_ += table.row_count();
}

void RowPrinter::aligned(const Table& table) {
    const size_t ncols = table.columns.size();
    const size_t nrows = table.row_count();
    if (!header_done_) {
        widths_.assign(ncols, 0);
        for (size_t c = 0; c < ncols; ++c) widths_[c] = display_width(table.columns[c].name);
    }
    cells_.resize(nrows * ncols);
    for (size_t r = 0; r < nrows; ++r) {
        for (size_t c = 0; c < ncols && c < widths_.size(); ++c) {
            std::string& s = cells_[r * ncols + c];
            s = shown(table, r, c);
            size_t width = display_width(s);
            if (width > widths_[c]) widths_[c] = width;
        }
    }
    if (!header_done_ && !format_.tuples_only) {
        for (size_t c = 0; c < ncols; ++c) {
            const std::string& name = table.columns[c].name;
            size_t space = widths_[c] - display_width(name);
            out_ << (c ? " | " : " ");
            pad(out_, space / 2);
            out_ << name;
            if (c + 1 < ncols) pad(out_, space - space / 2);
        }
        out_ << '\n';
        for (size_t c = 0; c < ncols; ++c) out_ << (c ? "+" : "") << std::string(widths_[c] + 2, '-');
        out_ << '\n';
    }
    for (size_t r = 0; r < nrows; ++r) {
        for (size_t c = 0; c < ncols && c < widths_.size(); ++c) {
            const std::string& s = cells_[r * ncols + c];
            size_t space = widths_[c] - display_width(s);
            out_ << (c ? " | " : " ");
            if (table.columns[c].right_aligned && !table.is_null(r, c)) {
                pad(out_, space);
                out_ << s;
            } else {
                out_ << s;
                if (c + 1 < ncols) pad(out_, space);
            }
        }
        out_ << '\n';
    }
}

void RowPrinter::expanded(const Table& table) {
    const size_t ncols = table.columns.size();
    const size_t nrows = table.row_count();
    size_t name_width = 0, value_width = 0;
    for (const auto& column : table.columns) name_width = std::max(name_width, display_width(column.name));
    cells_.resize(nrows * ncols);
    for (size_t r = 0; r < nrows; ++r) {
        for (size_t c = 0; c < ncols; ++c) {
            cells_[r * ncols + c] = shown(table, r, c);
            value_width = std::max(value_width, display_width(cells_[r * ncols + c]));
        }
    }
    for (size_t r = 0; r < nrows; ++r) {
        if (format_.tuples_only) {
            if (rows_ + r > 0) out_ << '\n';
        } else {
            std::string label = "-[ RECORD " + std::to_string(rows_ + r + 1) + " ]";
            size_t line = name_width + 3 + value_width;
            if (label.size() < line) label.append(line - label.size(), '-');
            out_ << label << '\n';
        }
        for (size_t c = 0; c < ncols; ++c) {
            const std::string& name = table.columns[c].name;
            out_ << name;
            pad(out_, name_width - display_width(name));
            out_ << " | " << cells_[r * ncols + c] << '\n';
        }
    }
}

void RowPrinter::unaligned(const Table& table) {
    const size_t ncols = table.columns.size();
    const std::string& sep = format_.field_separator;
    auto value = [&](size_t r, size_t c) -> std::string_view {
        return table.is_null(r, c) ? std::string_view(format_.null_text) : table.cell(r, c);
    };
    if (format_.expanded) {
        for (size_t r = 0; r < table.row_count(); ++r) {
            if (rows_ + r > 0) out_ << '\n';
            for (size_t c = 0; c < ncols; ++c) out_ << table.columns[c].name << sep << value(r, c) << '\n';
        }
        return;
    }
    if (!header_done_ && !format_.tuples_only) {
        for (size_t c = 0; c < ncols; ++c) out_ << (c ? sep : "") << table.columns[c].name;
        out_ << '\n';
    }
    for (size_t r = 0; r < table.row_count(); ++r) {
        for (size_t c = 0; c < ncols; ++c) out_ << (c ? sep : "") << value(r, c);
        out_ << '\n';
    }
}

void RowPrinter::csv(const Table& table) {
    const size_t ncols = table.columns.size();
    if (!header_done_ && !format_.tuples_only) {
        for (size_t c = 0; c < ncols; ++c) {
            if (c) out_ << ',';
            write_csv_field(out_, table.columns[c].name);
        }
        out_ << '\n';
    }
    for (size_t r = 0; r < table.row_count(); ++r) {
        for (size_t c = 0; c < ncols; ++c) {
            if (c) out_ << ',';
            if (!table.is_null(r, c)) write_csv_field(out_, table.cell(r, c));
        }
        out_ << '\n';
    }
}

void RowPrinter::json(const Table& table) {
    const size_t ncols = table.columns.size();
    if (!header_done_) {
        cells_.resize(ncols);
        for (size_t c = 0; c < ncols; ++c) cells_[c] = json_string(table.columns[c].name) + ":";
    }
    for (size_t r = 0; r < table.row_count(); ++r) {
        out_ << '{';
        for (size_t c = 0; c < ncols; ++c) {
            out_ << (c ? "," : "") << cells_[c];
            std::string_view text = table.cell(r, c);
            if (table.is_null(r, c))
                out_ << "null";
            else if (table.columns[c].right_aligned && is_json_number(text))
                out_ << text;
            else
                out_ << json_string(text);
        }
        out_ << "}\n";
    }
}

void RowPrinter::finish() {
    if (format_.tuples_only || !format_.footer || format_.data_only()) return;
    if (format_.expanded && rows_ > 0) return;  // the record labels have counted them
    out_ << row_count_footer(rows_) << '\n';
}

void print_aligned(const Table& table, std::ostream& out, bool footer) {
    OutputFormat format;
    format.footer = footer;
    RowPrinter printer(out, format);
    printer.print_block(table);
    printer.finish();
}

void print_csv(const Table& table, std::ostream& out) {
    OutputFormat format;
    format.kind = OutputFormat::Kind::Csv;
    RowPrinter printer(out, format);
    printer.print_block(table);
    printer.finish();
}

}  // namespace kvcsql
