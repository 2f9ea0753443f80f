// Queries, statements and the typed cells of the database layer.
#include "formats/sqlite_table.h"

#include <gtest/gtest.h>

#include "formats/sqlite_test_fixture.h"

namespace bw::testing {
namespace {

using SqliteTable = SqliteTest;

// The single cell of a one-row, one-column result.
TableCell OnlyCell(std::string_view sql) {
    const CTable table = SqliteTest::Query(sql);
    TableRow row;
    TableCell cell;
    EXPECT_TRUE(GetTableRow(table, 0, row)) << sql;
    EXPECT_EQ(row.size(), 1u) << sql;
    EXPECT_TRUE(GetRowCell(row, 0, cell)) << sql;
    EXPECT_FALSE(GetTableRow(table, 1, row)) << sql;
    return cell;
}

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

TEST_F(SqliteTable, FieldsThatDoNotBelongToTheTypeStayEmpty) {
    OpenWith("a.db", {});
    const CTable table = Query("SELECT 7, 2.5, 'x', X'01', NULL");
    ASSERT_EQ(table.rows.size(), 1u);
    const TableRow& row = table.rows[0];
    ASSERT_EQ(row.size(), 5u);
    EXPECT_EQ(row[0].floatValue, 0.0);
    EXPECT_EQ(row[0].text, "");
    EXPECT_EQ(row[1].intValue, 0);
    EXPECT_EQ(row[1].text, "");
    EXPECT_EQ(row[2].intValue, 0);
    EXPECT_EQ(row[2].floatValue, 0.0);
    EXPECT_EQ(row[3].intValue, 0);
    EXPECT_EQ(row[3].text, std::string("\x01", 1));
    EXPECT_EQ(row[4].intValue, 0);
    EXPECT_EQ(row[4].floatValue, 0.0);
}

TEST_F(SqliteTable, DefaultCellHasNoValue) {
    const TableCell cell;
    EXPECT_EQ(cell.type, kCellNoValue);
    EXPECT_EQ(cell.intValue, 0);
    EXPECT_EQ(cell.floatValue, 0.0);
    EXPECT_TRUE(cell.text.empty());
}

TEST_F(SqliteTable, NullIsTypeFiveWithEmptyText) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(NULL)"});
    const TableCell cell = OnlyCell("SELECT v FROM t");
    EXPECT_EQ(cell.type, kCellNull);
    EXPECT_EQ(cell.type, 5);
    EXPECT_TRUE(cell.text.empty());
}

TEST_F(SqliteTable, EmptyBlobIsTypeFourWithEmptyText) {
    OpenWith("a.db", {"CREATE TABLE t(v BLOB)", "INSERT INTO t VALUES(X'')"});
    const TableCell cell = OnlyCell("SELECT v FROM t");
    EXPECT_EQ(cell.type, kCellBlob);
    EXPECT_EQ(cell.type, 4);
    EXPECT_TRUE(cell.text.empty());
}

TEST_F(SqliteTable, BlobKeepsEveryByteIncludingZeros) {
    OpenWith("a.db", {"CREATE TABLE t(v BLOB)", "INSERT INTO t VALUES(X'00FF0061000000')"});
    const TableCell cell = OnlyCell("SELECT v FROM t");
    EXPECT_EQ(cell.type, kCellBlob);
    EXPECT_EQ(cell.text, std::string("\x00\xFF\x00"
                                     "a\x00\x00\x00",
                                     7));
}

TEST_F(SqliteTable, LargeBlobArrivesWhole) {
    // "||" makes text, so the result is cast back to a blob to keep its zero bytes.
    OpenWith("a.db", {"CREATE TABLE t(v BLOB)",
                      "INSERT INTO t VALUES(CAST(zeroblob(3000000) || X'7F' AS BLOB))"});
    const TableCell cell = OnlyCell("SELECT v FROM t");
    ASSERT_EQ(cell.text.size(), 3000001u);
    EXPECT_EQ(cell.text.back(), '\x7F');
    EXPECT_EQ(cell.text.find_first_not_of('\0'), 3000000u);
}

TEST_F(SqliteTable, TextIsCutAtItsFirstZeroByte) {
    OpenWith("a.db",
             {"CREATE TABLE t(v TEXT)", "INSERT INTO t VALUES(CAST(X'6100626300' AS TEXT))"});
    ASSERT_EQ(ReadDirectly(PathOf("a.db"), "SELECT length(CAST(v AS BLOB)) FROM t"), "5");
    const TableCell cell = OnlyCell("SELECT v FROM t");
    EXPECT_EQ(cell.type, kCellText);
    EXPECT_EQ(cell.text, "a");
}

TEST_F(SqliteTable, TextKeepsItsUtf8Bytes) {
    OpenWith("a.db", {"CREATE TABLE t(v TEXT)",
                      "INSERT INTO t VALUES('caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80')"});
    const TableCell cell = OnlyCell("SELECT v FROM t");
    EXPECT_EQ(cell.text, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
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

TEST_F(SqliteTable, EmptyResultClearsThePreviousRows) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(1), (2)"});
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 2u);
    EXPECT_TRUE(QueryToTable("SELECT v FROM t WHERE v > 5"));
    EXPECT_TRUE(CopyResultTable().rows.empty());
}

TEST_F(SqliteTable, FailedPrepareKeepsThePreviousRows) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(1), (2)"});
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 2u);
    EXPECT_FALSE(QueryToTable("SELECT nothing FROM nowhere"));
    EXPECT_FALSE(QueryToTable("SELEKT v FROM t"));
    EXPECT_FALSE(ExecuteSql(kExecuteQuery, "SELECT v FROM"));
    const CTable kept = CopyResultTable();
    ASSERT_EQ(kept.rows.size(), 2u);
    EXPECT_EQ(kept.rows[1][0].intValue, 2);
}

TEST_F(SqliteTable, TextWithoutAStatementIsAFailure) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(1)"});
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 1u);
    EXPECT_FALSE(QueryToTable(""));
    EXPECT_FALSE(QueryToTable("  -- only a comment"));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, ""));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, ";"));
    EXPECT_EQ(CopyResultTable().rows.size(), 1u);
}

TEST_F(SqliteTable, QueryStoppedByAnErrorKeepsTheRowsReadBeforeIt) {
    // abs() of the smallest 64-bit integer raises "integer overflow" when the third row is reached.
    OpenWith("a.db", {"CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER)",
                      "INSERT INTO t VALUES(1, -5), (2, 6), (3, -9223372036854775808), (4, 1)"});
    EXPECT_FALSE(QueryToTable("SELECT abs(v) FROM t ORDER BY k"));
    const CTable partial = CopyResultTable();
    ASSERT_EQ(partial.rows.size(), 2u);
    EXPECT_EQ(partial.rows[0][0].intValue, 5);
    EXPECT_EQ(partial.rows[1][0].intValue, 6);
}

TEST_F(SqliteTable, ManyRowsArriveInOrder) {
    OpenWith("a.db", {});
    const CTable table = Query(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199999)"
        " SELECT i, 'row ' || i FROM n");
    ASSERT_EQ(table.rows.size(), 200000u);
    EXPECT_EQ(table.rows[123456][0].intValue, 123456);
    EXPECT_EQ(table.rows[199999][1].text, "row 199999");
}

TEST_F(SqliteTable, StatementModeIsTrueOnlyWhenTheStatementProducesNoRow) {
    OpenWith("a.db",
             {"CREATE TABLE t(k INTEGER PRIMARY KEY, v)", "INSERT INTO t VALUES(1, 'old')"});
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "SELECT v FROM t"));
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "SELECT v FROM t WHERE k = 99"));
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "UPDATE t SET v = 'new' WHERE k = 1"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT v FROM t WHERE k = 1"), "new");
    // Any mode other than 1 runs a statement.
    EXPECT_TRUE(ExecuteSql(0, "DELETE FROM t"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT count(*) FROM t"), "0");
}

TEST_F(SqliteTable, StatementModeLeavesTheSharedTableAlone) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(1), (2), (3)"});
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 3u);
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "SELECT v FROM t WHERE v = 2"));
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "DELETE FROM t WHERE v = 3"));
    EXPECT_EQ(CopyResultTable().rows.size(), 3u);
}

TEST_F(SqliteTable, QueryModeBehavesLikeQueryToTable) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES('x'), ('y')"});
    EXPECT_TRUE(ExecuteSql(kExecuteQuery, "SELECT v FROM t ORDER BY v"));
    const CTable table = CopyResultTable();
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(table.rows[1][0].text, "y");
    EXPECT_TRUE(ExecuteSql(kExecuteQuery, "SELECT v FROM t WHERE v = 'z'"));
    EXPECT_TRUE(CopyResultTable().rows.empty());
    EXPECT_TRUE(ExecuteSql(kExecuteQuery, "UPDATE t SET v = 'w' WHERE v = 'x'"));
    EXPECT_EQ(ReadDirectly(PathOf("a.db"), "SELECT min(v) FROM t"), "w");
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
    // A quote in the name is part of the pattern, not the end of the SQL text.
    ASSERT_TRUE(ExecuteSql(kExecuteStatement, "CREATE TABLE \"it's\"(v)"));
    EXPECT_TRUE(TableExists("it's"));
    EXPECT_TRUE(TableExists("'"));
}

TEST_F(SqliteTable, TableExistsReplacesTheSharedTable) {
    OpenWith("a.db", {"CREATE TABLE call(v)", "INSERT INTO call VALUES(1), (2), (3)"});
    ASSERT_EQ(Query("SELECT v FROM call").rows.size(), 3u);
    ASSERT_TRUE(TableExists("call"));
    const CTable table = CopyResultTable();
    ASSERT_EQ(table.rows.size(), 1u);
    EXPECT_EQ(table.rows[0][0].text, "call");
}

TEST_F(SqliteTable, TableExistsIsFalseOnAnEmptyDatabase) {
    OpenWith("a.db", {});
    EXPECT_FALSE(TableExists("call"));
    EXPECT_FALSE(TableExists(""));
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

TEST_F(SqliteTable, CopiedTableOutlivesTheSharedOne) {
    OpenWith("a.db", {});
    CTable first = Query("SELECT 'a', X'0001'");
    CTable second = first;
    ASSERT_TRUE(QueryToTable("SELECT 'b'"));
    CloseDatabase();
    EXPECT_TRUE(CopyResultTable().rows.empty());
    first.rows[0][0].text = "changed";
    ASSERT_EQ(second.rows.size(), 1u);
    EXPECT_EQ(second.rows[0][0].text, "a");
    EXPECT_EQ(second.rows[0][1].text, std::string("\x00\x01", 2));
}

}  // namespace
}  // namespace bw::testing
