// brackwater-sim run as a program: exit status 0, 1 for failures, 2 for usage errors, and every
// error a single line on standard error.
#include <plist/plist.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <filesystem>
#include <string>

#include "image/image_builder.h"
#include "support/build_paths.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

struct SimRun {
    int status = -1;
    std::string out;
    std::string err;
};

class SimImageCli : public ::testing::Test {
  protected:
    SimRun Sim(const std::string& arguments) {
        const std::string out = logs / "stdout", err = logs / "stderr";
        const std::string command = std::string(BRACKWATER_SIM_TOOL_PATH) + " " + arguments + " >" +
                                    out + " 2>" + err + " </dev/null";
        const int raw = std::system(command.c_str());
        SimRun result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = testing::ReadFileBytes(out);
        result.err = testing::ReadFileBytes(err);
        return result;
    }

    static bool OneLine(const std::string& text) {
        return !text.empty() && text.back() == '\n' &&
               std::count(text.begin(), text.end(), '\n') == 1;
    }

    static std::string Switches(const std::string& image) {
        return testing::ReadFileBytes(image + "/device.plist");
    }

    testing::TempFolder folder;
    testing::TempFolder logs;
};

TEST_F(SimImageCli, VersionAndHelp) {
    SimRun run = Sim("version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, BuilderVersion() + "\n");
    EXPECT_EQ(run.err, "");
    run = Sim("--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("create DIR"), std::string::npos);
    EXPECT_NE(run.out.find("--refuses-pairing"), std::string::npos);
}

TEST_F(SimImageCli, UsageErrorsExitWithTwoAndOneLine) {
    for (const char* arguments :
         {"", "frobnicate", "version extra", "create", "create a b", "create DIR --bogus",
          "create DIR --seed", "create DIR --seed -3", "create DIR --seed 18446744073709551616",
          "create DIR --seed 12x", "create DIR --scale 0", "create DIR --scale 1001",
          "create DIR --ios 8.0", "create DIR --udid xyz", "create DIR --afc2=yes"}) {
        std::string line = arguments;
        const size_t dir = line.find("DIR");
        if (dir != std::string::npos) line.replace(dir, 3, folder / "never");
        const SimRun run = Sim(line);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_TRUE(OneLine(run.err)) << arguments << ": " << run.err;
        EXPECT_EQ(run.err.rfind("brackwater-sim: ", 0), 0u) << run.err;
        EXPECT_FALSE(std::filesystem::exists(folder / "never")) << arguments;
    }
    EXPECT_NE(Sim("create x --ios 8.0").err.find("8.0"), std::string::npos);
}

TEST_F(SimImageCli, CreatesAnImageWithTheOptionsGiven) {
    const std::string image = folder / "phone";
    const SimRun run = Sim("create " + image +
                           " --ios 6.1.3 --name 'Test Phone' --seed=77 --network --refuses-pairing "
                           "--afc2 --udid 00112233445566778899aabbccddeeff00112233");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(IsImage(image));
    const std::string plist = Switches(image);
    for (const char* expected :
         {"<string>Test Phone</string>", "<string>6.1.3</string>", "<string>Network</string>",
          "<string>00112233445566778899aabbccddeeff00112233</string>",
          "<key>Paired</key>\n\t\t<false/>", "<key>RefusesPairing</key>\n\t\t<true/>",
          "<key>HasAFC2</key>\n\t\t<true/>"})
        EXPECT_NE(plist.find(expected), std::string::npos) << expected;
}

TEST_F(SimImageCli, TheSameCommandTwiceGivesTheSameDevicePlist) {
    ASSERT_EQ(Sim("create " + folder / "a" + " --seed 4").status, 0);
    ASSERT_EQ(Sim("create " + folder / "b" + " --seed 4").status, 0);
    ASSERT_EQ(Sim("create " + folder / "c" + " --seed 5").status, 0);
    EXPECT_EQ(Switches(folder / "a"), Switches(folder / "b"));
    EXPECT_NE(Switches(folder / "a"), Switches(folder / "c"));
}

TEST_F(SimImageCli, RefusesAUserFolderAndKeepsIt) {
    const std::string target = folder / "documents";
    folder.Write("documents/thesis.txt", "years of work");
    const SimRun run = Sim("create " + target);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(OneLine(run.err)) << run.err;
    EXPECT_NE(run.err.find("not a device image"), std::string::npos) << run.err;
    EXPECT_EQ(testing::ReadFileBytes(target + "/thesis.txt"), "years of work");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(SimImageCli, ReplacesAnImageItMadeBefore) {
    const std::string image = folder / "phone";
    ASSERT_EQ(Sim("create " + image + " --seed 1").status, 0);
    const std::string before = Switches(image);
    const SimRun run = Sim("create " + image + " --seed 2 --ios 5.1.1");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(Switches(image), before);
    EXPECT_NE(Switches(image).find("<string>iPhone4,1</string>"), std::string::npos);
}

}  // namespace
}  // namespace bw::sim
