// The one way files are replaced, and the seam that makes its calls fail.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "platform/file_faults.h"
#include "platform/files.h"
#include "platform/unique_fd.h"
#include "support/file_fault_loop.h"
#include "support/temp_folder.h"

namespace bw::platform {
namespace {

using testing::ReadFileBytes;

std::map<std::string, std::string> FolderBytes(const std::string& folder) {
    std::map<std::string, std::string> bytes;
    std::vector<FolderEntry> entries;
    ListFolder(folder, entries);
    for (const FolderEntry& entry : entries)
        bytes[entry.name] =
            entry.isFolder ? "<folder>" : ReadFileBytes(JoinPath(folder, entry.name));
    return bytes;
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffffu;
}

bool IsOpenFd(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(PlatformUniqueFd, ClosesWhatItHoldsOnceAndMovesOwnership) {
    int raw = -1;
    {
        UniqueFd first(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(first.valid());
        raw = first.get();
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), raw);
        UniqueFd third;
        third = std::move(second);
        EXPECT_TRUE(IsOpenFd(raw));
    }
    EXPECT_FALSE(IsOpenFd(raw));

    UniqueFd kept(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int released = kept.release();
    EXPECT_FALSE(kept.valid());
    EXPECT_TRUE(IsOpenFd(released));
    UniqueFd again(released);
    EXPECT_TRUE(again.Close());
    EXPECT_FALSE(IsOpenFd(released));
    EXPECT_TRUE(again.Close());  // nothing held any more
}

TEST(PlatformFileFaults, CountsTheReplacementsCallsInTheirOrder) {
    testing::TempFolder top;
    const std::string path = top.Write("file", "old");
    SetFileFaults({});
    ASSERT_TRUE(ReplaceFile(
        path, [](const ByteSink& sink) { return sink("one ") && sink("two ") && sink("three"); }));
    const FileFaultReport report = ClearFileFaults();
    EXPECT_FALSE(report.hit);
    EXPECT_EQ(report.calls, 7u);
    // The file is flushed before it is renamed, and the folder after.
    EXPECT_EQ(report.log,
              (std::vector<FileCall>{FileCall::kCreate, FileCall::kWrite, FileCall::kWrite,
                                     FileCall::kWrite, FileCall::kSync, FileCall::kRename,
                                     FileCall::kSync}));
    EXPECT_EQ(ReadFileBytes(path), "one two three");

    // A working copy is written and renamed the same way, without either flush.
    SetFileFaults({});
    ASSERT_TRUE(WriteFileAtomic(path, "copy", Flush::kWorkingCopy));
    EXPECT_EQ(ClearFileFaults().log,
              (std::vector<FileCall>{FileCall::kCreate, FileCall::kWrite, FileCall::kRename}));
    EXPECT_EQ(ReadFileBytes(path), "copy");

    SetFileFaults({});
    EXPECT_TRUE(CreateFolder(top / "d"));
    EXPECT_TRUE(RenamePath(top / "d", top / "e"));
    EXPECT_TRUE(RemoveEmptyFolder(top / "e"));
    EXPECT_TRUE(RemoveFile(path));
    EXPECT_FALSE(FileSize(top / "e").has_value());  // reads are not counted
    EXPECT_EQ(ClearFileFaults().log,
              (std::vector<FileCall>{FileCall::kMakeFolder, FileCall::kRename, FileCall::kRemove,
                                     FileCall::kRemove}));
}

TEST(PlatformFileFaults, TheChosenCallFailsWithTheChosenErrorAndOnlyThatOne) {
    testing::TempFolder top;
    const std::string path = top.Write("file", "old");
    SetFileFaults({4, FileFault::kIoError, {}});  // the rename of the first replacement
    errno = 0;
    EXPECT_FALSE(WriteFileAtomic(path, "new"));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(WriteFileAtomic(path, "newer"));  // the plan fails one call, not every later one
    FileFaultReport report = ClearFileFaults();
    EXPECT_TRUE(report.hit);
    EXPECT_EQ(report.hitCall, FileCall::kRename);
    EXPECT_EQ(ReadFileBytes(path), "newer");

    SetFileFaults({1, FileFault::kNoSpace, {}});
    EXPECT_FALSE(CreateFolder(top / "full"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(IsFolder(top / "full"));
    EXPECT_TRUE(ClearFileFaults().hit);

    // Unset, nothing fails and nothing is counted.
    EXPECT_TRUE(WriteFileAtomic(path, "last"));
    EXPECT_EQ(ClearFileFaults().calls, 0u);
}

TEST(PlatformFileFaults, AShortWritePutsPartOfTheBytesDownThenReportsAFullDisk) {
    testing::TempFolder top;
    const std::string path = top.Write("file", "old");
    const std::string bytes(1000, 'x');
    uint64_t partial = 0;
    SetFileFaults({2, FileFault::kShortWrite, {}});
    EXPECT_FALSE(ReplaceFile(path, [&](const ByteSink& sink) {
        const bool written = sink(bytes);
        const int cause = errno;
        for (const auto& [name, content] : FolderBytes(top.path())) {
            if (name.starts_with(kReplaceTempPrefix)) partial = content.size();
        }
        errno = cause;
        return written;
    }));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(ClearFileFaults().hit);
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, bytes.size());
    EXPECT_EQ(FolderBytes(top.path()), (std::map<std::string, std::string>{{"file", "old"}}));
}

TEST(HostFilesReplace, WritesAPrivateTemporaryFileBesideTheTargetAndKeepsTheTargetsMode) {
    testing::TempFolder top;
    const std::string path = top.Write("file", "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    std::vector<std::string> seen;
    unsigned tempMode = 0;
    ASSERT_TRUE(ReplaceFile(path, [&](const ByteSink& sink) {
        for (const auto& [name, content] : FolderBytes(top.path())) {
            if (name == "file") continue;
            seen.push_back(name);
            tempMode = ModeOf(top / name);
        }
        return sink("new");
    }));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].starts_with(kReplaceTempPrefix)) << seen[0];
    EXPECT_EQ(tempMode, 0600u);
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(FolderBytes(top.path()), (std::map<std::string, std::string>{{"file", "new"}}));

    // A new file is 0644 where others may enter the folder, and stays private where they may not.
    ASSERT_EQ(::chmod(top.path().c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileAtomic(top / "fresh", "a new file"));
    EXPECT_EQ(ModeOf(top / "fresh"), 0644u);
    ASSERT_EQ(::chmod(top.path().c_str(), 0750), 0);
    ASSERT_TRUE(WriteFileAtomic(top / "grouped", "a new file"));
    EXPECT_EQ(ModeOf(top / "grouped"), 0640u);
    ASSERT_EQ(::chmod(top.path().c_str(), 0700), 0);
    ASSERT_TRUE(WriteFileAtomic(top / "private", "a new file"));
    EXPECT_EQ(ModeOf(top / "private"), 0600u);
    ASSERT_TRUE(RemoveFile(top / "grouped") && RemoveFile(top / "private"));

    // Two replacements never share a temporary name.
    std::string first, second;
    ReplaceFile(path, [&](const ByteSink& sink) {
        ReplaceFile(top / "fresh", [&](const ByteSink& inner) {
            for (const auto& [name, content] : FolderBytes(top.path())) {
                if (name.starts_with(kReplaceTempPrefix)) (first.empty() ? first : second) = name;
            }
            return inner("x");
        });
        return sink("y");
    });
    EXPECT_FALSE(first.empty());
    EXPECT_FALSE(second.empty());
    EXPECT_NE(first, second);
}

TEST(HostFilesReplace, ReplacesOnlyARegularFileNeverALinkOrAFolder) {
    testing::TempFolder top;
    const std::string victim = top.Write("victim", "precious");
    ASSERT_EQ(::symlink(victim.c_str(), (top / "link").c_str()), 0);
    EXPECT_FALSE(WriteFileAtomic(top / "link", "overwritten"));
    EXPECT_EQ(ReadFileBytes(victim), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat((top / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    ASSERT_TRUE(CreateFolder(top / "dir"));
    top.Write("dir/inside", "keep");
    EXPECT_FALSE(WriteFileAtomic(top / "dir", "x"));
    EXPECT_EQ(ReadFileBytes(top / "dir/inside"), "keep");
    EXPECT_FALSE(WriteFileAtomic(top / "missing-folder/file", "x"));

    // A copy refuses a source that is a link when asked to.
    EXPECT_FALSE(ReplaceFileWithCopy(top / "link", top / "copy", false));
    EXPECT_FALSE(PathExists(top / "copy"));
    EXPECT_TRUE(ReplaceFileWithCopy(top / "link", top / "copy", true));
    EXPECT_EQ(ReadFileBytes(top / "copy"), "precious");
    EXPECT_EQ(FolderBytes(top.path()).size(), 4u);  // victim, link, dir, copy: no leftovers
}

// Names an earlier save used for its work file, and a leftover of our own prefix: a failed save
// must leave all of them as they were.
const std::map<std::string, std::string> kNeighbours = {
    {"Manifest-2.mbdb", "neighbour 1"},
    {"Manifest.mbdb.brackwater-tmp", "neighbour 2"},
    {"Manifest.mbdb-2", "neighbour 3"},
    {std::string(kReplaceTempPrefix) + "0000000000000000", "neighbour 4"},
};

TEST(HostFilesReplace, EveryFailedCallLeavesTheOldFileAndTouchesNoNeighbour) {
    testing::TempFolder top;
    std::map<std::string, std::string> before = kNeighbours;
    before["Manifest.mbdb"] = "old manifest";
    std::map<std::string, std::string> after = before;
    after["Manifest.mbdb"] = std::string(3 << 20, 'n');  // several writes' worth
    bool saved = false;
    for (const FileFault fault : {FileFault::kNatural, FileFault::kIoError, FileFault::kNoSpace}) {
        testing::FileFaultLoop loop;
        loop.fault = fault;
        loop.prepare = [&] {
            DeleteTree(top / "f");
            CreateFolder(top / "f");
            for (const auto& [name, bytes] : before)
                top.Write("f/" + name, bytes);
        };
        loop.run = [&] {
            saved = WriteFileAtomic(top / "f/Manifest.mbdb", after["Manifest.mbdb"]);
        };
        loop.check = [&](uint64_t failedAt, FileCall call) {
            const std::map<std::string, std::string> now = FolderBytes(top / "f");
            if (failedAt == 0) {
                EXPECT_TRUE(saved);
                EXPECT_EQ(now, after);
                return;
            }
            EXPECT_FALSE(saved);
            // Only the flush of the folder comes after the rename.
            EXPECT_EQ(now, call == FileCall::kSync && failedAt == 5 ? after : before);
        };
        const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
        EXPECT_EQ(result.calls, 5u);
        EXPECT_EQ(result.hits, result.calls);
    }
}

TEST(HostFilesReplace, ACrashBeforeAnyCallLeavesTheOldOrTheNewFile) {
    testing::TempFolder top;
    const std::string content = "new content";
    testing::FileFaultLoop loop;
    loop.crash = true;
    loop.prepare = [&] {
        DeleteTree(top / "f");
        top.Write("f/file", "old content");
    };
    loop.run = [&] { WriteFileAtomic(top / "f/file", content); };
    loop.check = [&](uint64_t failedAt, FileCall) {
        for (const auto& [name, bytes] : FolderBytes(top / "f")) {
            if (name.starts_with(kReplaceTempPrefix)) continue;  // the crashed run's work file
            EXPECT_EQ(name, "file");
            // Before the rename (call 4) the old file, from then on the new one.
            EXPECT_EQ(bytes, failedAt == 0 || failedAt > 4 ? content : "old content");
        }
    };
    const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
    EXPECT_EQ(result.calls, 5u);
    EXPECT_EQ(result.hits, 5u);
}

TEST(HostFilesReplace, CanCreateFilesInTouchesNoFileOfTheFolder) {
    testing::TempFolder top;
    top.Write("f/{118F198D-6386-4D6A-94F0-BAD2B0BE4EE0}", "a user's file");
    EXPECT_TRUE(CanCreateFilesIn(top / "f"));
    EXPECT_EQ(FolderBytes(top / "f"),
              (std::map<std::string, std::string>{
                  {"{118F198D-6386-4D6A-94F0-BAD2B0BE4EE0}", "a user's file"}}));
    EXPECT_FALSE(CanCreateFilesIn(top / "missing"));
}

}  // namespace
}  // namespace bw::platform
