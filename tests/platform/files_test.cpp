#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/temp_folder.h"

namespace bw::platform {
namespace {

TEST(HostFiles, JoinPathPutsExactlyOneSeparator) {
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "//b"), "/a/b");
    EXPECT_EQ(JoinPath("", "b"), "b");
    EXPECT_EQ(JoinPath("/", "b"), "/b");
}

TEST(HostFiles, WalkTreeVisitsFoldersBeforeTheirContentsAndNeverFollowsLinks) {
    testing::TempFolder top;
    top.Write("a/b/c.txt", "123");
    top.Write("a/d.txt", "");
    top.Write("outside/secret.txt", "x");
    ASSERT_EQ(::symlink((top / "outside").c_str(), (top / "a/link").c_str()), 0);

    std::vector<std::string> seen;
    ASSERT_TRUE(WalkTree(top / "a", [&](const std::string& path, const FolderEntry& entry) {
        seen.push_back(path.substr(top.path().size()) + (entry.isLink ? "@" : ""));
        return true;
    }));
    std::vector<std::string> sorted = seen;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"/a/b", "/a/b/c.txt", "/a/d.txt", "/a/link@"}));
    const auto folder = std::find(seen.begin(), seen.end(), "/a/b");
    const auto file = std::find(seen.begin(), seen.end(), "/a/b/c.txt");
    EXPECT_LT(folder, file);
    EXPECT_FALSE(
        WalkTree(top / "missing", [](const std::string&, const FolderEntry&) { return true; }));
}

TEST(HostFiles, DeleteTreeRemovesLinksButNotWhatTheyPointTo) {
    testing::TempFolder top;
    top.Write("victim/a/b/c.txt", "1");
    top.Write("kept/important.txt", "2");
    ASSERT_EQ(::symlink((top / "kept").c_str(), (top / "victim/a/link").c_str()), 0);
    EXPECT_TRUE(DeleteTree(top / "victim"));
    EXPECT_FALSE(PathExists(top / "victim"));
    EXPECT_TRUE(IsFile(top / "kept/important.txt"));
    EXPECT_TRUE(DeleteTree(top / "never-existed"));
}

TEST(HostFiles, CopyFileCopiesEmptyFilesAndRefusesMissingOnes) {
    testing::TempFolder top;
    const std::string empty = top.Write("empty", "");
    EXPECT_TRUE(CopyFile(empty, top / "empty-copy"));
    EXPECT_EQ(FileSize(top / "empty-copy"), 0u);

    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31);
    const std::string source = top.Write("big", big);
    top.Write("target", "old content that is longer than nothing");
    EXPECT_TRUE(CopyFile(source, top / "target"));
    EXPECT_EQ(testing::ReadFileBytes(top / "target"), big);

    EXPECT_FALSE(CopyFile(top / "missing", top / "never"));
    EXPECT_FALSE(PathExists(top / "never"));
    EXPECT_FALSE(CopyFile(source, top / "no-such-folder/target"));
}

TEST(HostFiles, WriteFileAtomicReplacesKeepsModeAndLeavesNoTemporaryFile) {
    testing::TempFolder top;
    const std::string path = top.Write("file", "old");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_TRUE(WriteFileAtomic(path, "new bytes"));
    EXPECT_EQ(testing::ReadFileBytes(path), "new bytes");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::vector<FolderEntry> entries;
    ASSERT_TRUE(ListFolder(top.path(), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "file");

    EXPECT_FALSE(WriteFileAtomic(top / "missing-folder/file", "x"));
    // A folder in the way is not replaced.
    CreateFolder(top / "dir");
    top.Write("dir/inside", "keep");
    EXPECT_FALSE(WriteFileAtomic(top / "dir", "x"));
    EXPECT_EQ(testing::ReadFileBytes(top / "dir/inside"), "keep");
}

TEST(HostFiles, FileTestsTellFilesFoldersAndUnreadableThingsApart) {
    testing::TempFolder top;
    const std::string file = top.Write("f", "abc");
    EXPECT_TRUE(IsFile(file));
    EXPECT_FALSE(IsFolder(file));
    EXPECT_TRUE(IsFolder(top.path()));
    EXPECT_TRUE(CanOpenForReading(file));
    EXPECT_FALSE(CanOpenForReading(top.path()));
    EXPECT_FALSE(CanOpenForReading(top / "missing"));
    EXPECT_EQ(FileSize(file), 3u);
    EXPECT_FALSE(FileSize(top.path()));
    EXPECT_TRUE(LastWriteTime(file).has_value());
    std::string bytes = "stale";
    EXPECT_FALSE(ReadWholeFile(top.path(), bytes));
    EXPECT_TRUE(bytes.empty());
}

TEST(HostFiles, CreateFoldersMakesParentsAndFailsOverAFile) {
    testing::TempFolder top;
    EXPECT_TRUE(CreateFolders(top / "x/y/z"));
    EXPECT_TRUE(IsFolder(top / "x/y/z"));
    EXPECT_TRUE(CreateFolders(top / "x/y/z"));
    top.Write("file", "");
    EXPECT_FALSE(CreateFolders(top / "file/sub"));
    EXPECT_FALSE(CreateFolder(top / "file"));
    EXPECT_FALSE(RemoveEmptyFolder(top / "x"));
    EXPECT_TRUE(RemoveEmptyFolder(top / "x/y/z"));
}

}  // namespace
}  // namespace bw::platform
