// Queries, statements and the typed cells of the database layer.
#include "formats/sqlite_table.h"

#include <gtest/gtest.h>

#include "formats/sqlite_test_fixture.h"

namespace bw::testing {
namespace {

using SqliteTable = SqliteTest;

TEST_F(SqliteTable, RowsAndCellsComeInQueryOrder) {
    OpenWith("a.db", {"CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, score REAL)",
                      "INSERT INTO t VALUES(1, 'one', 1.5), (2, 'two', -2.25), (3, 'three', 0)"});
    const CTable table = Query("SELECT score, name, id FROM t ORDER BY id DESC");
    ASSERT_EQ(table.rows.size(), 3u);
    const TableRow& first = table.rows[0];
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].type, kCellFloat);
    EXPECT_EQ(first[0].floatValue, 0.0);
    EXPECT_EQ(first[1].type, kCellText);
    EXPECT_EQ(first[1].text, "three");
    EXPECT_EQ(first[2].type, kCellInteger);
    EXPECT_EQ(first[2].intValue, 3);
    EXPECT_EQ(table.rows[1][0].floatValue, -2.25);
    EXPECT_EQ(table.rows[2][1].text, "one");
}

// Each kind of value fills its own field and leaves the others empty; blobs keep every byte,
// text stops at its first zero byte.
TEST_F(SqliteTable, EachCellKindFillsOnlyItsOwnField) {
    OpenWith("a.db",
             {"CREATE TABLE t(k INTEGER PRIMARY KEY, v)",
              "INSERT INTO t VALUES(1, 7), (2, 2.5), (3, 'caf\xC3\xA9 \xF0\x9F\x98\x80'),"
              " (4, X'00FF0061000000'), (5, X''), (6, NULL), (7, CAST(X'6100626300' AS TEXT))"});
    struct Case {
        int type;
        int64_t intValue;
        double floatValue;
        std::string text;
    };
    const Case cases[] = {
        {kCellInteger, 7, 0.0, ""},
        {kCellFloat, 0, 2.5, ""},
        {kCellText, 0, 0.0, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {kCellBlob, 0, 0.0,
         std::string("\x00\xFF\x00"
                     "a\x00\x00\x00",
                     7)},
        {kCellBlob, 0, 0.0, ""},
        {kCellNull, 0, 0.0, ""},
        {kCellText, 0, 0.0, "a"},
    };
    ASSERT_EQ(ReadDirectly(PathOf("a.db"), "SELECT length(CAST(v AS BLOB)) FROM t WHERE k = 7"),
              "5");
    const CTable table = Query("SELECT v FROM t ORDER BY k");
    ASSERT_EQ(table.rows.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(table.rows[i].size(), 1u);
        const TableCell& cell = table.rows[i][0];
        EXPECT_EQ(cell.type, cases[i].type);
        EXPECT_EQ(cell.intValue, cases[i].intValue);
        EXPECT_EQ(cell.floatValue, cases[i].floatValue);
        EXPECT_EQ(cell.text, cases[i].text);
    }
}

// "||" makes text, so the blob is cast back to keep its zero bytes.
TEST_F(SqliteTable, LargeBlobsAndManyRowsArriveWhole) {
    OpenWith("a.db", {"CREATE TABLE t(v BLOB)",
                      "INSERT INTO t VALUES(CAST(zeroblob(3000000) || X'7F' AS BLOB))"});
    const CTable blob = Query("SELECT v FROM t");
    ASSERT_EQ(blob.rows.size(), 1u);
    const std::string& bytes = blob.rows[0][0].text;
    ASSERT_EQ(bytes.size(), 3000001u);
    EXPECT_EQ(bytes.find_first_not_of('\0'), 3000000u);
    const CTable table = Query(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199999)"
        " SELECT i, 'row ' || i FROM n");
    ASSERT_EQ(table.rows.size(), 200000u);
    EXPECT_EQ(table.rows[123456][0].intValue, 123456);
    EXPECT_EQ(table.rows[199999][1].text, "row 199999");
}

TEST_F(SqliteTable, IntegersArriveAsTheirLow32BitsSignExtended) {
    OpenWith("a.db", {"CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER)",
                      "INSERT INTO t VALUES(1, 4294967297), (2, -1), (3, 2147483648),"
                      " (4, 2147483647), (5, -2147483648), (6, 1356998400), (7, 4294967295)"});
    const CTable table = Query("SELECT v FROM t ORDER BY k");
    ASSERT_EQ(table.rows.size(), 7u);
    const int64_t expected[] = {1, -1, -2147483648LL, 2147483647, -2147483648LL, 1356998400, -1};
    for (size_t i = 0; i < table.rows.size(); ++i) {
        EXPECT_EQ(table.rows[i][0].type, kCellInteger) << i;
        EXPECT_EQ(table.rows[i][0].intValue, expected[i]) << i;
    }
}

// An empty result empties the shared table; a text that cannot run leaves it as it was; a query
// stopped by an error keeps the rows read before it.
TEST_F(SqliteTable, SharedTableAfterEachOutcome) {
    OpenWith("a.db", {"CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER)",
                      "INSERT INTO t VALUES(1, -5), (2, 6), (3, -9223372036854775808), (4, 1)"});
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 4u);
    for (const char* failing :
         {"SELECT nothing FROM nowhere", "SELEKT v FROM t", "", "  -- only a comment"}) {
        EXPECT_FALSE(QueryToTable(failing)) << failing;
    }
    EXPECT_FALSE(ExecuteSql(kExecuteQuery, "SELECT v FROM"));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, ""));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, ";"));
    const CTable kept = CopyResultTable();
    ASSERT_EQ(kept.rows.size(), 4u);
    EXPECT_EQ(kept.rows[1][0].intValue, 6);

    // abs() of the smallest 64-bit integer raises "integer overflow" at the third row.
    EXPECT_FALSE(QueryToTable("SELECT abs(v) FROM t ORDER BY k"));
    const CTable partial = CopyResultTable();
    ASSERT_EQ(partial.rows.size(), 2u);
    EXPECT_EQ(partial.rows[0][0].intValue, 5);
    EXPECT_EQ(partial.rows[1][0].intValue, 6);

    EXPECT_TRUE(QueryToTable("SELECT v FROM t WHERE v > 100"));
    EXPECT_TRUE(CopyResultTable().rows.empty());
}

// Statement mode is true only when the statement produces no row, and leaves the shared table
// alone; query mode fills it like QueryToTable; any other mode runs a statement.
TEST_F(SqliteTable, StatementAndQueryModes) {
    OpenWith("a.db", {"CREATE TABLE t(k INTEGER PRIMARY KEY, v)",
                      "INSERT INTO t VALUES(1, 'x'), (2, 'y')"});
    EXPECT_TRUE(ExecuteSql(kExecuteQuery, "SELECT v FROM t ORDER BY v"));
    const CTable table = CopyResultTable();
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(table.rows[1][0].text, "y");

    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "SELECT v FROM t"));
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "SELECT v FROM t WHERE k = 99"));
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "UPDATE t SET v = 'new' WHERE k = 1"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT v FROM t WHERE k = 1"), "new");
    EXPECT_EQ(CopyResultTable().rows.size(), 2u);

    EXPECT_TRUE(ExecuteSql(kExecuteQuery, "SELECT v FROM t WHERE v = 'z'"));
    EXPECT_TRUE(CopyResultTable().rows.empty());
    EXPECT_TRUE(ExecuteSql(kExecuteQuery, "UPDATE t SET v = 'w' WHERE k = 2"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT v FROM t WHERE k = 2"), "w");
    EXPECT_TRUE(ExecuteSql(0, "DELETE FROM t"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT count(*) FROM t"), "0");
}

TEST_F(SqliteTable, ConstraintFailureIsFalseAndChangesNothing) {
    OpenWith("a.db", {"CREATE TABLE t(k INTEGER PRIMARY KEY, v UNIQUE)",
                      "INSERT INTO t VALUES(1, 'a'), (2, 'b')"});
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "UPDATE t SET v = 'a' WHERE k = 2"));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "INSERT INTO t VALUES(1, 'c')"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT group_concat(v, ',') FROM t"), "a,b");
    // The connection stays usable after the failures.
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "UPDATE t SET v = 'c' WHERE k = 2"));
}

TEST_F(SqliteTable, OnlyTheFirstStatementOfATextRuns) {
    OpenWith("a.db", {"CREATE TABLE first(v); CREATE TABLE second(v)"});
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT count(*) FROM sqlite_master WHERE name='first'"),
              "1");
    EXPECT_EQ(
        ReadDirectly(PathOf("a.db"), "SELECT count(*) FROM sqlite_master WHERE name='second'"),
        "0");
    EXPECT_TRUE(QueryToTable("SELECT 1; DROP TABLE first"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT count(*) FROM sqlite_master WHERE name='first'"),
              "1");
}

TEST_F(SqliteTable, TableExistsMatchesNamesContainingTheTextInAnyCase) {
    OpenWith("empty.db", {});
    EXPECT_FALSE(TableExists(""));
    CloseDatabase();
    OpenWith("a.db",
             {"CREATE TABLE madrid_chat(v)", "CREATE TABLE ABPersonFullTextSearch_content(v)",
              "CREATE VIEW message_view AS SELECT 1"});
    EXPECT_TRUE(TableExists("madrid_chat"));
    EXPECT_TRUE(TableExists("chat"));
    EXPECT_TRUE(TableExists("MADRID"));
    EXPECT_TRUE(TableExists("abpersonfulltextsearch_CONTENT"));
    EXPECT_TRUE(TableExists(""));
    EXPECT_FALSE(TableExists("message"));  // only a view has that name
    EXPECT_FALSE(TableExists("madrid_chats"));
    EXPECT_FALSE(TableExists("it's"));
    // The shared table holds the name found.
    ASSERT_TRUE(TableExists("madrid_chat"));
    ASSERT_EQ(CopyResultTable().rows.size(), 1u);
    EXPECT_EQ(CopyResultTable().rows[0][0].text, "madrid_chat");
    // A quote in the name is part of the pattern, not the end of the SQL text.
    ASSERT_TRUE(ExecuteSql(kExecuteStatement, "CREATE TABLE \"it's\"(v)"));
    EXPECT_TRUE(TableExists("it's"));
    EXPECT_TRUE(TableExists("'"));
}

TEST_F(SqliteTable, RowAndCellAccessStopsAtTheEnd) {
    OpenWith("a.db", {});
    const CTable table = Query("SELECT 10, 'x' UNION ALL SELECT 20, 'y'");
    TableRow row;
    ASSERT_TRUE(GetTableRow(table, 1, row));
    EXPECT_EQ(row[0].intValue, 20);
    EXPECT_FALSE(GetTableRow(table, 2, row));
    EXPECT_FALSE(GetTableRow(table, static_cast<size_t>(-1), row));
    EXPECT_EQ(row[0].intValue, 20);  // a failed copy leaves the target alone

    TableCell cell;
    ASSERT_TRUE(GetRowCell(row, 1, cell));
    EXPECT_EQ(cell.type, kCellText);
    EXPECT_EQ(cell.text, "y");
    EXPECT_FALSE(GetRowCell(row, 2, cell));
    EXPECT_FALSE(GetRowCell(row, static_cast<size_t>(-1), cell));
    EXPECT_EQ(cell.text, "y");

    EXPECT_FALSE(GetTableRow(CTable{}, 0, row));
    EXPECT_FALSE(GetRowCell(TableRow{}, 0, cell));
}

TEST_F(SqliteTable, CellTextOnlyForTextCells) {
    OpenWith("a.db", {});
    const CTable table = Query("SELECT 'hello', X'68656C6C6F', 5, 2.5, NULL");
    ASSERT_EQ(table.rows.size(), 1u);
    const TableRow& row = table.rows[0];
    std::string text = "untouched";
    EXPECT_TRUE(GetCellText(row[0], text));
    EXPECT_EQ(text, "hello");
    for (size_t column = 1; column < row.size(); ++column) {
        text = "untouched";
        EXPECT_FALSE(GetCellText(row[column], text)) << column;
        EXPECT_EQ(text, "untouched") << column;
    }
    EXPECT_EQ(row[1].text, "hello");  // a blob is read from the field itself
    EXPECT_FALSE(GetCellText(TableCell{}, text));
}

// Text from a backup goes into statements as bound values: quotes, "%" and SQL in it are data,
// and a statement whose parameters do not match its values runs nothing.
TEST_F(SqliteTable, BoundValuesAreDataNeverSql) {
    OpenWith("a.db", {"CREATE TABLE t(id INTEGER PRIMARY KEY, handle TEXT)",
                      "INSERT INTO t VALUES(1, 'plain'), (2, 'o''brien'), (3, '%'),"
                      " (4, 'x'' OR ''1''=''1')"});
    const std::string hostile[] = {"o'brien", "%", "x' OR '1'='1"};
    const int64_t expected[] = {2, 3, 4};
    for (size_t i = 0; i < std::size(hostile); ++i) {
        SCOPED_TRACE(hostile[i]);
        ASSERT_TRUE(QueryBound("SELECT id FROM t WHERE handle = ?", {hostile[i]}));
        const CTable table = CopyResultTable();
        ASSERT_EQ(table.rows.size(), 1u);
        EXPECT_EQ(table.rows[0][0].intValue, expected[i]);
    }
    ASSERT_TRUE(ExecuteBound("DELETE FROM t WHERE handle = ? OR id = ?",
                             {std::string("'; DROP TABLE t; --"), int64_t{1}}));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT group_concat(id) FROM t"), "2,3,4");

    EXPECT_FALSE(ExecuteBound("DELETE FROM t WHERE id = ?", {}));
    EXPECT_FALSE(ExecuteBound("DELETE FROM t WHERE id = ?", {int64_t{2}, int64_t{3}}));
    EXPECT_FALSE(QueryBound("SELECT id FROM t", {int64_t{2}}));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT group_concat(id) FROM t"), "2,3,4");
}

}  // namespace
}  // namespace bw::testing
