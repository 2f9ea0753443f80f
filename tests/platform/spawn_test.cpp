#include "platform/spawn.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/temp_folder.h"

namespace bw::platform {
namespace {

using Words = std::vector<std::string>;

TEST(CommandLines, SplitAsTheWindowsRuntimeDoes) {
    EXPECT_EQ(SplitCommandLine("--pipe \\\\.\\pipe\\MobileBackUp"),
              (Words{"--pipe", "\\\\.\\pipe\\MobileBackUp"}));
    EXPECT_EQ(SplitCommandLine("  a\t b  "), (Words{"a", "b"}));
    EXPECT_EQ(SplitCommandLine(""), Words{});
    EXPECT_EQ(SplitCommandLine("   "), Words{});
    EXPECT_EQ(SplitCommandLine("\"two words\" x\"y z\""), (Words{"two words", "xy z"}));
    EXPECT_EQ(SplitCommandLine("\"\""), Words{""});
    // Backslashes count only before a quote.
    EXPECT_EQ(SplitCommandLine("a\\\\\"b c\""), (Words{"a\\b c"}));
    EXPECT_EQ(SplitCommandLine("a\\\"b"), (Words{"a\"b"}));
    EXPECT_EQ(SplitCommandLine("a\\\\\\\"b"), (Words{"a\\\"b"}));
    EXPECT_EQ(SplitCommandLine("C:\\dir\\ \"C:\\dir\\\\\""), (Words{"C:\\dir\\", "C:\\dir\\"}));
    EXPECT_EQ(SplitCommandLine("\"say \"\"hi\"\"\""), (Words{"say \"hi\""}));
    // An unclosed quote runs to the end.
    EXPECT_EQ(SplitCommandLine("\"open end"), (Words{"open end"}));
}

TEST(StartHidden, PassesTheCommandLineAndReportsTheExitCode) {
    testing::TempFolder folder;
    const std::string out = folder / "args";
    std::string error;
    auto child = StartHidden(
        "/bin/sh", "-c \"printf '%s\\n' \\\"$@\\\" > " + out + "; exit 7\" x --pipe \\\\.\\pipe\\A",
        error);
    ASSERT_NE(child, nullptr) << error;
    EXPECT_GT(child->Id(), 0);
    EXPECT_EQ(child->Wait(10000), 7);
    EXPECT_FALSE(child->IsRunning());
    EXPECT_EQ(child->Wait(0), 7);
    EXPECT_EQ(testing::ReadFileBytes(out), "--pipe\n\\\\.\\pipe\\A\n");
}

TEST(StartHidden, HasNoTerminalInputAndItsOwnSession) {
    testing::TempFolder folder;
    const std::string out = folder / "out";
    std::string error;
    // Standard input is empty; the session id (field 6 of /proc/PID/stat) is the child's own pid.
    auto child = StartHidden(
        "/bin/sh",
        Words{"-c", "cat > " + out + ".in; echo \"$$ $(cut -d' ' -f6 /proc/$$/stat)\" > " + out +
                        "; echo visible"},
        error);
    ASSERT_NE(child, nullptr) << error;
    ASSERT_EQ(child->Wait(10000), 0);
    EXPECT_EQ(testing::ReadFileBytes(out + ".in"), "");
    const std::string ids = testing::ReadFileBytes(out);
    const size_t space = ids.find(' ');
    ASSERT_NE(space, std::string::npos) << ids;
    EXPECT_EQ(ids.substr(0, space) + "\n", ids.substr(space + 1));
    EXPECT_EQ(ids.substr(0, space), std::to_string(child->Id()));
}

TEST(StartHidden, WaitTimesOutWhileRunningAndKillEndsIt) {
    std::string error;
    auto child = StartHidden("/bin/sleep", "30", error);
    ASSERT_NE(child, nullptr) << error;
    EXPECT_EQ(child->Wait(50), std::nullopt);
    EXPECT_TRUE(child->IsRunning());
    child->Kill();
    EXPECT_EQ(child->Wait(0), 128 + 9);
    EXPECT_FALSE(child->IsRunning());
}

TEST(StartHidden, AMissingOrUnrunnableProgramIsReported) {
    testing::TempFolder folder;
    std::string error;
    EXPECT_EQ(StartHidden(folder / "missing.exe", "", error), nullptr);
    EXPECT_NE(error.find("missing.exe"), std::string::npos);
    error.clear();
    const std::string notExecutable = folder.Write("plain.exe", "#!/bin/sh\n");
    EXPECT_EQ(StartHidden(notExecutable, "", error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(StartHidden("", "", error), nullptr);
}

TEST(StartHidden, ADroppedHandleLeavesNoZombie) {
    std::string error;
    ProcessId pid = 0;
    {
        auto child = StartHidden("/bin/true", "", error);
        ASSERT_NE(child, nullptr) << error;
        pid = child->Id();
    }
    // Collected in the background: the pid's /proc entry disappears.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = !PathExists("/proc/" + std::to_string(pid));
        if (!gone) Sleep(10);
    }
    EXPECT_TRUE(gone);
}

}  // namespace
}  // namespace bw::platform
