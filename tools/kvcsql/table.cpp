#include "table.h"

namespace kvcsql {

namespace {

const char kNullText[] = "NULL";

// Control characters would break the grid: show them as escapes.
std::string displayable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
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
    return shown;
}

void pad(std::ostream& out, size_t count) {
    for (size_t i = 0; i < count; ++i) out << ' ';
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

}  // namespace

size_t display_width(std::string_view text) {
    size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++width;  // continuation bytes add nothing
    return width;
}

std::string row_count_footer(size_t rows) {
    return rows == 1 ? "(1 row)" : "(" + std::to_string(rows) + " rows)";
}

void print_aligned(const Table& table, std::ostream& out, bool footer) {
    const size_t ncols = table.columns.size();
    const size_t nrows = table.row_count();
    std::vector<std::string> shown(nrows * ncols);
    std::vector<size_t> widths(ncols);
    for (size_t c = 0; c < ncols; ++c) widths[c] = display_width(table.columns[c].name);
    for (size_t r = 0; r < nrows; ++r) {
        for (size_t c = 0; c < ncols; ++c) {
            std::string& s = shown[r * ncols + c];
            s = table.is_null(r, c) ? std::string(kNullText) : displayable(table.cell(r, c));
            if (display_width(s) > widths[c]) widths[c] = display_width(s);
        }
    }
    for (size_t c = 0; c < ncols; ++c) {
        const std::string& name = table.columns[c].name;
        size_t space = widths[c] - display_width(name);
        out << (c ? " | " : " ");
        pad(out, space / 2);
        out << name;
        if (c + 1 < ncols) pad(out, space - space / 2);
    }
    out << '\n';
    for (size_t c = 0; c < ncols; ++c) {
        out << (c ? "+" : "") << std::string(widths[c] + 2, '-');
    }
    out << '\n';
    for (size_t r = 0; r < nrows; ++r) {
        for (size_t c = 0; c < ncols; ++c) {
            const std::string& s = shown[r * ncols + c];
            size_t space = widths[c] - display_width(s);
            out << (c ? " | " : " ");
            if (table.columns[c].right_aligned && !table.is_null(r, c)) {
                pad(out, space);
                out << s;
            } else {
                out << s;
                if (c + 1 < ncols) pad(out, space);
            }
        }
        out << '\n';
    }
    if (footer) out << row_count_footer(nrows) << '\n';
}

void print_csv(const Table& table, std::ostream& out) {
    const size_t ncols = table.columns.size();
    for (size_t c = 0; c < ncols; ++c) {
        if (c) out << ',';
        write_csv_field(out, table.columns[c].name);
    }
    out << '\n';
    for (size_t r = 0; r < table.row_count(); ++r) {
        for (size_t c = 0; c < ncols; ++c) {
            if (c) out << ',';
            if (!table.is_null(r, c)) write_csv_field(out, table.cell(r, c));
        }
        out << '\n';
    }
}

}  // namespace kvcsql
