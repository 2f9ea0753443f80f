// The current connection, the saved connections behind it, and databases that cannot be used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "formats/sqlite_table.h"
#include "formats/sqlite_test_fixture.h"
#include "support/hostile_files.h"

namespace bw::testing {
namespace {

using SqliteConnection = SqliteTest;

// The text of the first cell of the first row of `sql` on the current connection.
std::string FirstText(std::string_view sql) {
    const CTable table = SqliteTest::Query(sql);
    std::string text;
    if (!table.rows.empty() && !table.rows[0].empty()) GetCellText(table.rows[0][0], text);
    return text;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// Each open saves the connection behind it; each close returns to it, with its own file.
TEST_F(SqliteConnection, NestedOpensUnwindInOrder) {
    for (const char* name : {"1.db", "2.db", "3.db"}) {
        OpenWith(name, {"CREATE TABLE t(v)"});
        ASSERT_TRUE(
            ExecuteSql(kExecuteStatement, std::string("INSERT INTO t VALUES('") + name + "')"));
    }
    for (const char* name : {"3.db", "2.db"}) {
        ASSERT_TRUE(IsDatabaseOpen());
        EXPECT_EQ(FirstText("SELECT v FROM t"), name);
        CloseDatabase();
    }
    EXPECT_EQ(FirstText("SELECT v FROM t"), "1.db");
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "UPDATE t SET v = 'again'"));
    CloseDatabase();
    EXPECT_FALSE(IsDatabaseOpen());
    EXPECT_EQ(ReadDirectly(PathOf("1.db"), "SELECT v FROM t"), "again");
    EXPECT_EQ(ReadDirectly(PathOf("2.db"), "SELECT v FROM t"), "2.db");
}

TEST_F(SqliteConnection, CloseClearsTheSharedTable) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(1)"});
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 1u);
    OpenWith("b.db", {});
    ASSERT_EQ(Query("SELECT 1 UNION ALL SELECT 2").rows.size(), 2u);
    CloseDatabase();
    EXPECT_TRUE(CopyResultTable().rows.empty());
    ASSERT_EQ(Query("SELECT v FROM t").rows.size(), 1u);
    CloseDatabase();
    EXPECT_TRUE(CopyResultTable().rows.empty());
}

TEST_F(SqliteConnection, AfterTheOutermostCloseNothingRuns) {
    OpenWith("a.db", {"CREATE TABLE t(v)"});
    OpenWith("b.db", {"CREATE TABLE t(v)"});
    CloseDatabase();
    CloseDatabase();
    EXPECT_FALSE(IsDatabaseOpen());
    EXPECT_FALSE(QueryToTable("SELECT 1"));
    EXPECT_FALSE(ExecuteSql(kExecuteQuery, "SELECT 1"));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "INSERT INTO t VALUES(1)"));
    EXPECT_FALSE(TableExists("t"));
    EXPECT_TRUE(CopyResultTable().rows.empty());
    // A surplus close is harmless, and the layer opens again afterwards.
    CloseDatabase();
    EXPECT_FALSE(IsDatabaseOpen());
    ASSERT_TRUE(OpenDatabase(PathOf("a.db")));
    EXPECT_TRUE(QueryToTable("SELECT v FROM t"));
}

// A path that cannot be opened (a missing folder, empty, a zero byte inside) leaves whatever was
// current, and nothing of its own to close.
TEST_F(SqliteConnection, RefusedOpenKeepsWhatWasCurrent) {
    const std::string refused[] = {PathOf("missing/folder/b.db"), "",
                                   PathOf("a.db") + std::string("\0.other", 7)};
    for (const std::string& path : refused) {
        EXPECT_FALSE(OpenDatabase(path));
        EXPECT_FALSE(IsDatabaseOpen());
    }
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES('a')"});
    for (const std::string& path : refused) {
        EXPECT_FALSE(OpenDatabase(path));
        EXPECT_EQ(FirstText("SELECT v FROM t"), "a");
    }
    EXPECT_FALSE(platform::PathExists(PathOf("missing")));
    CloseDatabase();
    EXPECT_FALSE(IsDatabaseOpen());
}

TEST_F(SqliteConnection, MissingFileIsCreatedWhateverItsName) {
    for (const char* name : {"new.db", "f\xC3\xBCr \xE2\x82\xAC.db"}) {
        const std::string path = PathOf(name);
        ASSERT_FALSE(platform::PathExists(path));
        ASSERT_TRUE(OpenDatabase(path));
        EXPECT_FALSE(TableExists(""));
        EXPECT_TRUE(ExecuteSql(kExecuteStatement, "CREATE TABLE t(v)"));
        CloseDatabase();
        EXPECT_EQ(ReadDirectly(path, "SELECT count(*) FROM sqlite_master"), "1") << name;
    }
}

TEST_F(SqliteConnection, PathStartingWithFileColonIsAPlainFileName) {
    // Relative paths are resolved against the working folder, so move there for this test.
    std::string previous(4096, '\0');
    ASSERT_NE(::getcwd(previous.data(), previous.size()), nullptr);
    previous.resize(previous.find('\0'));
    ASSERT_EQ(::chdir(folder_.path().c_str()), 0);
    const bool opened = OpenDatabase("file:x.db?mode=ro");
    const bool created = opened && ExecuteSql(kExecuteStatement, "CREATE TABLE t(v)");
    CloseDatabase();
    ASSERT_EQ(::chdir(previous.c_str()), 0);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(created);
    EXPECT_TRUE(platform::IsFile(PathOf("file:x.db?mode=ro")));
    EXPECT_FALSE(platform::PathExists(PathOf("x.db")));
}

TEST_F(SqliteConnection, LockedDatabaseFailsAtOnce) {
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES(1)", "BEGIN EXCLUSIVE",
                      "INSERT INTO t VALUES(2)"});
    ASSERT_TRUE(OpenDatabase(PathOf("a.db")));
    EXPECT_FALSE(QueryToTable("SELECT v FROM t"));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "INSERT INTO t VALUES(3)"));
    CloseDatabase();
    EXPECT_TRUE(ExecuteSql(kExecuteStatement, "COMMIT"));
    EXPECT_EQ(FirstText("SELECT group_concat(v, ',') FROM t"), "1,2");
}

TEST_F(SqliteConnection, GarbageFileFailsCleanly) {
    for (unsigned seed = 1; seed <= 8; ++seed) {
        const std::string path = folder_.Write("garbage.db", RandomBytes(4096 * seed, seed));
        // SQLite reads the file lazily, so the open itself may succeed; the first query may not.
        if (OpenDatabase(path)) {
            EXPECT_FALSE(QueryToTable("SELECT name FROM sqlite_master")) << seed;
            EXPECT_FALSE(TableExists("")) << seed;
            EXPECT_FALSE(ExecuteSql(kExecuteStatement, "CREATE TABLE t(v)")) << seed;
            CloseDatabase();
        }
        EXPECT_FALSE(IsDatabaseOpen());
        EXPECT_EQ(testing::ReadFileBytes(path), RandomBytes(4096 * seed, seed)) << seed;
    }
}

TEST_F(SqliteConnection, DamagedTablePageFailsCleanly) {
    OpenWith("a.db", {"PRAGMA page_size=4096", "CREATE TABLE t(v)",
                      "INSERT INTO t VALUES('first row'), ('second row')"});
    CloseDatabase();
    std::string bytes = testing::ReadFileBytes(PathOf("a.db"));
    ASSERT_EQ(bytes.size(), 8192u);  // the schema page and the page of table t
    bytes.replace(4096, 4096, RandomBytes(4096, 99));
    folder_.Write("a.db", bytes);

    ASSERT_TRUE(OpenDatabase(PathOf("a.db")));
    EXPECT_TRUE(TableExists("t"));  // the schema page is intact
    EXPECT_FALSE(QueryToTable("SELECT v FROM t"));
    EXPECT_FALSE(ExecuteSql(kExecuteStatement, "DELETE FROM t"));
    CloseDatabase();
}

TEST_F(SqliteConnection, DatabaseCutInsideItsSchemaFailsCleanly) {
    OpenWith("a.db",
             {"PRAGMA page_size=4096", "CREATE TABLE t(v)", "INSERT INTO t VALUES('first row')"});
    CloseDatabase();
    const std::string bytes = testing::ReadFileBytes(PathOf("a.db"));
    for (size_t size : {size_t{2000}, size_t{100}, size_t{50}}) {
        folder_.Write("a.db", bytes.substr(0, size));
        ASSERT_TRUE(OpenDatabase(PathOf("a.db"))) << size;
        EXPECT_FALSE(QueryToTable("SELECT v FROM t")) << size;
        EXPECT_FALSE(TableExists("t")) << size;
        CloseDatabase();
    }
}

TEST_F(SqliteConnection, FolderIsNotADatabase) {
    ASSERT_TRUE(platform::CreateFolder(PathOf("folder.db")));
    const bool opened = OpenDatabase(PathOf("folder.db"));
    EXPECT_FALSE(opened && QueryToTable("SELECT name FROM sqlite_master"));
    if (opened) CloseDatabase();
    EXPECT_FALSE(IsDatabaseOpen());
}

TEST_F(SqliteConnection, PipesAndDevicesAreRefusedAtOnceAndKeepWhatWasCurrent) {
    ASSERT_TRUE(platform::CreateFolder(PathOf("hostile")));
    const std::vector<std::string> refused = EndlessFiles(PathOf("hostile"));
    for (const std::string& path : refused) {
        ASSERT_FALSE(path.empty());
        EXPECT_FALSE(OpenDatabase(path)) << path;
        EXPECT_FALSE(IsDatabaseOpen());
    }
    OpenWith("a.db", {"CREATE TABLE t(v)", "INSERT INTO t VALUES('a')"});
    for (const std::string& path : refused) {
        EXPECT_FALSE(OpenDatabase(path)) << path;
        EXPECT_EQ(FirstText("SELECT v FROM t"), "a");
    }
    CloseDatabase();
}

}  // namespace
}  // namespace bw::testing
