// kvcsql's pure parts: options, statement splitting, parameter arguments and
// the table and CSV forms of a result.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include <kvc.h>

#include "options.h"
#include "param_args.h"
#include "result_reader.h"
#include "splitter.h"
#include "table.h"

using namespace kvcsql;

namespace {

std::vector<std::string> split_all(const std::vector<std::string>& lines, std::string* rest = nullptr) {
    StatementSplitter splitter;
    std::vector<std::string> out;
    for (const auto& line : lines) splitter.feed_line(line, out);
    if (rest) *rest = splitter.take_rest();
    return out;
}

Table sample_table() {
    Table t;
    t.columns = {{"id", true}, {"name", false}, {"note", false}};
    t.add_cell("1", 1);
    t.add_cell("apple", 5);
    t.add_null();
    t.add_cell("12", 2);
    t.add_cell("pear, \"ripe\"", 12);
    t.add_cell("", 0);
    return t;
}

}  // namespace

TEST(KvcsqlSplitter, SemicolonsInsideQuotesAndCommentsEndNothing) {
    struct Case {
        std::vector<std::string> lines;
        std::vector<std::string> statements;
        std::string rest;
    } cases[] = {
        {{"SELECT 1; SELECT 2;"}, {"SELECT 1", "SELECT 2"}, ""},
        {{"SELECT 'a;b', \"c;d\";"}, {"SELECT 'a;b', \"c;d\""}, ""},
        {{"SELECT 'it''s;';"}, {"SELECT 'it''s;'"}, ""},
        {{"SELECT 1 -- no; end here", "+ 1;"}, {"SELECT 1 \n+ 1"}, ""},
        {{"SELECT /* a; b */ 2;"}, {"SELECT   2"}, ""},
        {{"SELECT /* spans", "two; lines */ 3;"}, {"SELECT \n  3"}, ""},
        {{"INSERT INTO t", "VALUES ('x", "y');"}, {"INSERT INTO t\nVALUES ('x\ny')"}, ""},
        {{";;  ;", "-- only a comment;"}, {}, ""},
        {{"SELECT 1; SELECT 2"}, {"SELECT 1"}, "SELECT 2"},
    };
    for (const auto& c : cases) {
        std::string rest;
        EXPECT_EQ(split_all(c.lines, &rest), c.statements) << c.lines[0];
        EXPECT_EQ(rest, c.rest) << c.lines[0];
    }
}

TEST(KvcsqlSplitter, PromptMarkerFollowsTheOpenConstruct) {
    StatementSplitter s;
    std::vector<std::string> out;
    EXPECT_EQ(s.prompt_marker(), '=');
    s.feed_line("SELECT 'abc", out);
    EXPECT_EQ(s.prompt_marker(), '\'');
    EXPECT_TRUE(s.inside_literal());
    s.feed_line("def' /* x", out);
    EXPECT_EQ(s.prompt_marker(), '*');
    s.feed_line("*/", out);
    EXPECT_EQ(s.prompt_marker(), '-');
    EXPECT_FALSE(s.inside_literal());
    s.feed_line(";", out);
    EXPECT_EQ(s.prompt_marker(), '=');
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], "SELECT 'abc\ndef'");
}

TEST(KvcsqlTable, AlignedFormPadsNumbersRightAndShowsNull) {
    std::ostringstream out;
    print_aligned(sample_table(), out, true);
    EXPECT_EQ(out.str(),
              " id |     name     | note\n"
              "----+--------------+------\n"
              "  1 | apple        | NULL\n"
              " 12 | pear, \"ripe\" | \n"
              "(2 rows)\n");
}

TEST(KvcsqlTable, AlignedFormEscapesControlCharactersAndCountsCodePoints) {
    Table t;
    t.columns = {{"v", false}, {"w", false}};
    t.add_cell(std::string("a\nb\tc\x01", 6));
    t.add_cell("h\xC3\xA9llo", 6);  // five characters in six bytes
    std::ostringstream out;
    print_aligned(t, out, true);
    EXPECT_EQ(out.str(),
              "      v      |   w\n"
              "-------------+-------\n"
              " a\\nb\\tc\\x01 | h\xC3\xA9llo\n"
              "(1 row)\n");
    std::ostringstream quiet;
    print_aligned(t, quiet, false);
    EXPECT_EQ(quiet.str().find("row"), std::string::npos);
}

TEST(KvcsqlTable, CsvQuotesWhatNeedsItAndLeavesNullEmpty) {
    std::ostringstream out;
    print_csv(sample_table(), out);
    EXPECT_EQ(out.str(),
              "id,name,note\n"
              "1,apple,\n"
              "12,\"pear, \"\"ripe\"\"\",\"\"\n");
}

TEST(KvcsqlTable, EmptyResultStillShowsItsColumns) {
    Table t;
    t.columns = {{"a", false}};
    std::ostringstream out;
    print_aligned(t, out, true);
    EXPECT_EQ(out.str(), " a\n---\n(0 rows)\n");
}

TEST(KvcsqlParamArgs, ClassifiesEachKindOfArgument) {
    std::vector<ParamArg> args;
    ASSERT_EQ(parse_param_args("42 -7 4.5 'it''s here' '42' NULL word clob:'big text' clob:@/tmp/x "
                               "blob:@f.bin out inout:'a b' inout:3 ret",
                               args),
              "");
    ASSERT_EQ(args.size(), 14u);
    EXPECT_EQ(args[0].kind, ParamArg::Integer);
    EXPECT_EQ(args[0].integer, 42);
    EXPECT_EQ(args[1].integer, -7);
    EXPECT_EQ(args[2].kind, ParamArg::Double);
    EXPECT_DOUBLE_EQ(args[2].real, 4.5);
    EXPECT_EQ(args[3].kind, ParamArg::Text);
    EXPECT_EQ(args[3].text, "it's here");
    EXPECT_EQ(args[4].kind, ParamArg::Text);  // quoted: a text, not a number
    EXPECT_EQ(args[5].kind, ParamArg::Null);
    EXPECT_EQ(args[6].kind, ParamArg::Text);
    EXPECT_EQ(args[7].kind, ParamArg::ClobText);
    EXPECT_EQ(args[7].text, "big text");
    EXPECT_EQ(args[8].kind, ParamArg::ClobFile);
    EXPECT_EQ(args[8].text, "/tmp/x");
    EXPECT_EQ(args[9].kind, ParamArg::BlobFile);
    EXPECT_EQ(args[10].kind, ParamArg::Out);
    EXPECT_EQ(args[11].kind, ParamArg::InOut);
    EXPECT_EQ(args[11].text, "a b");
    EXPECT_EQ(args[12].kind, ParamArg::InOut);
    EXPECT_EQ(args[12].text, "3");
    EXPECT_EQ(args[13].kind, ParamArg::Return);
}

TEST(KvcsqlParamArgs, QuotedPrefixesAndKeywordsStayTexts) {
    std::vector<ParamArg> args;
    ASSERT_EQ(parse_param_args("'clob:x' 'out' 'NULL' 1e3 12abc 99999999999999999999", args), "");
    ASSERT_EQ(args.size(), 6u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(args[i].kind, ParamArg::Text) << i;
    EXPECT_EQ(args[0].text, "clob:x");
    EXPECT_EQ(args[3].kind, ParamArg::Double);
    EXPECT_EQ(args[4].kind, ParamArg::Text);
    EXPECT_EQ(args[5].kind, ParamArg::Double);  // too large for 64 bits
    args.clear();
    EXPECT_NE(parse_param_args("'open", args), "");
    args.clear();
    EXPECT_NE(parse_param_args("blob:@", args), "");
}

TEST(KvcsqlOptions, ParsesScriptsInOrderAndSwitches) {
    const char* argv[] = {"kvcsql", "-c", "SELECT 1", "--file=a.sql", "--csv", "--ssl", "-q", "-b",
                          "--db", "/tmp/d.db", "IP=127.0.0.1;PORT=1"};
    Options o;
    ASSERT_EQ(parse_options(11, argv, o), "");
    ASSERT_EQ(o.scripts.size(), 2u);
    EXPECT_EQ(o.scripts[0].kind, ScriptSource::Command);
    EXPECT_EQ(o.scripts[0].text, "SELECT 1");
    EXPECT_EQ(o.scripts[1].kind, ScriptSource::File);
    EXPECT_EQ(o.scripts[1].text, "a.sql");
    EXPECT_TRUE(o.csv && o.ssl && o.quiet && o.stop_on_error);
    EXPECT_FALSE(o.timing || o.trace);
    EXPECT_EQ(o.db_path, "/tmp/d.db");
    EXPECT_EQ(o.conn_str, "IP=127.0.0.1;PORT=1");
}

TEST(KvcsqlOptions, RefusesWhatItCannotUse) {
    struct Case {
        std::vector<const char*> argv;
    } cases[] = {
        {{"kvcsql", "-c"}},
        {{"kvcsql", "--bogus"}},
        {{"kvcsql", "--csv=yes"}},
        {{"kvcsql", "A=1;", "B=2;"}},
    };
    for (const auto& c : cases) {
        Options o;
        EXPECT_NE(parse_options(static_cast<int>(c.argv.size()), c.argv.data(), o), "") << c.argv.back();
    }
}

TEST(KvcsqlOptions, ConnectionStringGetsASeparatorAndTheSslItem) {
    EXPECT_EQ(effective_conn_str("IP=127.0.0.1", false), "IP=127.0.0.1;");
    EXPECT_EQ(effective_conn_str("IP=1.2.3.4;PORT=5", false), "IP=1.2.3.4;PORT=5");
    EXPECT_EQ(effective_conn_str("IP=1.2.3.4;PORT=5", true), "IP=1.2.3.4;PORT=5;USE_SSL=on");
    EXPECT_EQ(effective_conn_str("IP=1.2.3.4;PORT=5;", true), "IP=1.2.3.4;PORT=5;USE_SSL=on");
    // A string separated by commas cannot take a ";" without being re-read.
    EXPECT_EQ(effective_conn_str("IP=1.2.3.4,PORT=5", true), "IP=1.2.3.4,PORT=5,USE_SSL=on");
}

TEST(KvcsqlValues, NumbersAreWrittenAsBrieflyAsTheyReadBack) {
    struct Case {
        double value;
        bool single;
        const char* text;
    } cases[] = {
        {0.5, false, "0.5"},
        {12.25, false, "12.25"},
        {0.1, false, "0.1"},
        {1.0 / 3, false, "0.3333333333333333"},
        {9007199254740993.0, false, "9007199254740992"},
        {1e20, false, "1e+20"},
        {-0.25, false, "-0.25"},
        {static_cast<float>(0.1), true, "0.1"},
        {static_cast<float>(1.0 / 3), true, "0.33333334"},
    };
    for (const auto& c : cases) EXPECT_EQ(ResultReader::shortest_text(c.value, c.single), c.text) << c.text;
}

TEST(KvcsqlValues, FullPrecisionTextsOfDoublesAreShortened) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"19.989999999999998", "19.99"},
        {"4.5000000000000003e-05", "4.5e-05"},
        {"19.99000000000000", "19.99"},
        {"1.50", "1.50"},                            // few digits: as written
        {"12345678901234567890", "12345678901234567890"},  // an integer stays exact
        {"0.1000000000000000x", "0.1000000000000000x"},    // not a number
    };
    for (const auto& c : cases) EXPECT_EQ(ResultReader::brief_number(c.text), c.shown) << c.text;
}

TEST(KvcsqlValues, BinaryIsShownInHexAndColumnsPickTheirForm) {
    const unsigned char bytes[] = {0x00, 0xff, 0x10, 0xab};
    EXPECT_EQ(ResultReader::hex_text(bytes, sizeof bytes), "\\x00ff10ab");
    EXPECT_EQ(ResultReader::hex_text(bytes, 0), "\\x");
    using Form = ResultReader::CellForm;
    EXPECT_EQ(ResultReader::form_of(KVC_C_BINARY), Form::Binary);
    EXPECT_EQ(ResultReader::form_of(KVC_C_BLOB), Form::Binary);
    EXPECT_EQ(ResultReader::form_of(KVC_C_DOUBLE), Form::Double);
    EXPECT_EQ(ResultReader::form_of(KVC_C_FLOAT), Form::Float);
    for (int text_type : {KVC_C_CHAR, KVC_C_CLOB, KVC_C_NUMERIC, KVC_C_TIMESTAMP_MS, KVC_C_DATE, KVC_C_BIGINT})
        EXPECT_EQ(ResultReader::form_of(text_type), Form::Text) << text_type;
}

TEST(KvcsqlTable, WidthsCountTerminalCells) {
    struct Case {
        const char* text;
        size_t cells;
    } cases[] = {
        {"abc", 3},
        {"h\xC3\xA9llo", 5},              // é: one cell in two bytes
        {"\xE4\xB8\xAD\xE6\x96\x87", 4},  // 中文: two wide characters
        {"\xF0\x9F\x98\x80", 2},          // an emoji
        {"e\xCC\x81", 1},                 // e and a combining accent
        {"\xFF\xFE", 2},                  // not UTF-8: a cell per byte
        {"\xE4\xB8", 2},                  // a cut sequence
    };
    for (const auto& c : cases) EXPECT_EQ(display_width(c.text), c.cells) << c.text;
}

TEST(KvcsqlTable, EachFormatPrintsBlocksAsOneResult) {
    Table first;
    first.columns = {{"id", true}, {"name", false}};
    first.add_cell("1", 1);
    first.add_null();
    Table second;
    second.columns = first.columns;
    second.add_cell("1234", 4);
    second.add_cell("a|b", 3);
    struct Case {
        OutputFormat::Kind kind;
        bool expanded, tuples_only;
        const char* text;
    } cases[] = {
        // Aligned: the header goes with the first block; a later block widens its column.
        {OutputFormat::Kind::Aligned, false, false,
         " id | name\n----+------\n  1 | -\n 1234 | a|b\n(2 rows)\n"},
        {OutputFormat::Kind::Aligned, true, false,
         "-[ RECORD 1 ]\nid   | 1\nname | -\n-[ RECORD 2 ]\nid   | 1234\nname | a|b\n"},
        {OutputFormat::Kind::Unaligned, false, false, "id;name\n1;-\n1234;a|b\n(2 rows)\n"},
        {OutputFormat::Kind::Unaligned, true, true, "id;1\nname;-\n\nid;1234\nname;a|b\n"},
        {OutputFormat::Kind::Csv, false, true, "1,\n1234,a|b\n"},
        {OutputFormat::Kind::Json, false, false, "{\"id\":1,\"name\":null}\n{\"id\":1234,\"name\":\"a|b\"}\n"},
    };
    for (const auto& c : cases) {
        OutputFormat format;
        format.kind = c.kind;
        format.expanded = c.expanded;
        format.tuples_only = c.tuples_only;
        format.field_separator = ";";
        format.null_text = "-";
        std::ostringstream out;
        RowPrinter printer(out, format);
        printer.print_block(first);
        printer.print_block(second);
        printer.finish();
        EXPECT_EQ(out.str(), c.text) << static_cast<int>(c.kind) << c.expanded;
        EXPECT_EQ(printer.rows_printed(), 2u);
    }
}

TEST(KvcsqlTable, JsonStringsAndNumbersFollowTheGrammar) {
    EXPECT_EQ(json_string("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    Table t;
    t.columns = {{"n", true}};
    for (const char* text : {"-0.5", "1e+20", "007", "inf", "1."}) t.add_cell(text, std::strlen(text));
    OutputFormat format;
    format.kind = OutputFormat::Kind::Json;
    std::ostringstream out;
    RowPrinter printer(out, format);
    printer.print_block(t);
    EXPECT_EQ(out.str(), "{\"n\":-0.5}\n{\"n\":1e+20}\n{\"n\":\"007\"}\n{\"n\":\"inf\"}\n{\"n\":\"1.\"}\n");
}

TEST(KvcsqlSplitter, VariablesAreSubstitutedOutsideQuotesOnly) {
    Variables vars = {{"t", "items"}, {"who", "O'Brien"}};
    StatementSplitter s;
    s.set_variables(&vars);
    std::vector<std::string> out;
    s.feed_line("SELECT ':t', x::int, :who2, :'who' FROM :t;", out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], "SELECT ':t', x::int, :who2, 'O''Brien' FROM items");
    EXPECT_EQ(substitute_variables("\\bind :t ':t' :'who' :none", vars), "\\bind items ':t' 'O''Brien' :none");
}

TEST(KvcsqlSplitter, PlaceholdersAreCountedOutsideQuotesAndComments) {
    struct Case {
        const char* sql;
        int count;
    } cases[] = {
        {"SELECT ?, ?", 2},
        {"SELECT '?', \"?\" FROM t WHERE a = ?", 1},
        {"SELECT 1 -- why?\n, ?", 1},
        {"SELECT /* ? */ ?", 1},
        {"SELECT 'open ?", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(count_placeholders(c.sql), c.count) << c.sql;
}

TEST(KvcsqlOptions, OutputSwitchesVariablesAndPasswords) {
    const char* argv[] = {"kvcsql", "-A", "-F", ";", "-x", "-t", "--json", "--null", "(null)", "-v", "a=b=c"};
    Options o;
    ASSERT_EQ(parse_options(11, argv, o), "");
    EXPECT_TRUE(o.unaligned && o.expanded && o.tuples_only && o.json && o.has_null_text);
    EXPECT_EQ(o.field_separator, ";");
    EXPECT_EQ(o.null_text, "(null)");
    ASSERT_EQ(o.variables.size(), 1u);
    EXPECT_EQ(o.variables[0], std::make_pair(std::string("a"), std::string("b=c")));
    for (const char* bad : {"=x", "novalue"}) {
        const char* bad_argv[] = {"kvcsql", "-v", bad};
        Options b;
        EXPECT_NE(parse_options(3, bad_argv, b), "") << bad;
    }

    struct Case {
        const char* conn_str;
        bool asks;
    } cases[] = {
        {"IP=1.2.3.4;USER=app", true},
        {"IP=1.2.3.4; user id = app ;DB=x", true},
        {"IP=1.2.3.4;USER=app;PWD=", false},
        {"IP=1.2.3.4;uid=app;Password=x", false},
        {"IP=1.2.3.4;DB=x", false},
        {"DB=A,USERID=B", true},
    };
    for (const auto& c : cases) EXPECT_EQ(names_user_without_password(c.conn_str), c.asks) << c.conn_str;
    EXPECT_EQ(with_password("IP=1;USER=u", "s"), "IP=1;USER=u;PWD=s");
    EXPECT_EQ(with_password("DB=A,USER=u", "s"), "DB=A,USER=u,PWD=s");
}
