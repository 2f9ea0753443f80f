#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/library.h"
#include "platform/process.h"
#include "support/build_paths.h"
#include "support/temp_folder.h"

extern char** environ;

namespace bw::platform {
namespace {

TEST(SharedLibraries, BareDllNamesMapToSharedObjects) {
    EXPECT_EQ(SharedLibraryFileName("CoreFoundation.dll"), "libCoreFoundation.so");
    EXPECT_EQ(SharedLibraryFileName("AirTrafficHost.DLL"), "libAirTrafficHost.so");
    EXPECT_EQ(SharedLibraryFileName("plain"), "libplain.so");
}

TEST(SharedLibraries, LoadsByPathAndByBareNameFromPathFolders) {
    testing::TempFolder top;
    CreateFolder(top / "second");
    ASSERT_TRUE(CopyFile(BRACKWATER_LIB_PATH, top / "second/libStandIn.so"));
    SetEnv("PATH", (top / "first") + ":" + (top / "second"));

    LibraryHandle byName = LoadLibraryByName("StandIn.dll");
    ASSERT_NE(byName, nullptr);
    auto version = reinterpret_cast<size_t (*)(char16_t*)>(FindSymbol(byName, "BrackwaterVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_GT(version(nullptr), 2u);
    EXPECT_EQ(FindSymbol(byName, "NoSuchFunction"), nullptr);
    // Names the library keeps to itself are not exported.
    EXPECT_EQ(FindSymbol(byName, "_ZN2bw10WideToUtf8ESt17basic_string_viewIDsSt11char_traitsIDsEE"),
              nullptr);

    EXPECT_NE(LoadLibraryPath(top / "second/libStandIn.so"), nullptr);
    EXPECT_EQ(LoadLibraryPath(top / "second/missing.so"), nullptr);
    EXPECT_EQ(LoadLibraryPath(""), nullptr);
    EXPECT_EQ(LoadLibraryByName("Missing.dll"), nullptr);
    EXPECT_EQ(FindSymbol(nullptr, "BrackwaterVersion"), nullptr);
}

TEST(Processes, FindsAndEndsProcessesByExecutableNameIgnoringCase) {
    testing::TempFolder top;
    const std::string exe = top / "BwSleeper-Test";
    ASSERT_TRUE(CopyFile("/bin/sleep", exe));
    ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);

    pid_t child = 0;
    char arg0[] = "BwSleeper-Test";
    char arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(::posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, environ), 0);

    std::vector<ProcessId> found;
    for (int i = 0; i < 100 && found.empty(); ++i) {
        found = FindProcesses("bwsleeper-TEST");
        if (found.empty()) Sleep(10);
    }
    ASSERT_EQ(found, std::vector<ProcessId>{child});
    EXPECT_TRUE(TerminateProcess(child));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(FindProcesses("BwSleeper-Test").empty());
    EXPECT_FALSE(TerminateProcess(child));
    EXPECT_FALSE(TerminateProcess(0));
}

TEST(Processes, RandomBytesFillTheWholeBuffer) {
    unsigned char a[64] = {};
    unsigned char b[64] = {};
    RandomBytes(a, sizeof a);
    RandomBytes(b, sizeof b);
    EXPECT_NE(std::string(reinterpret_cast<char*>(a), 64),
              std::string(reinterpret_cast<char*>(b), 64));
}

}  // namespace
}  // namespace bw::platform
