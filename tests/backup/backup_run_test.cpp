// Runs of the backup driver against a scripted stand-in for the backup tool: this test program
// itself, started through a link named like the tool. Started under that name it plays the
// tool: it connects to the pipe, keeps the request and the command line it got, and sends the
// messages the test wrote, one file each. With a "hold" file it connects only once the test wrote
// "go".
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "backup/device_backup.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/text.h"
#include "support/runtime_registry.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

constexpr char kScriptVariable[] = "BW_FAKE_BACKUP_SCRIPT";

std::vector<std::string> OwnArguments() {
    std::string cmdline;
    platform::ReadWholeFile("/proc/self/cmdline", cmdline);
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < cmdline.size()) {
        const size_t end = cmdline.find('\0', start);
        arguments.push_back(cmdline.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return arguments;
}

void PlayTheTool(const std::vector<std::string>& arguments) {
    const char* scriptFolder = std::getenv(kScriptVariable);
    if (scriptFolder == nullptr) std::_Exit(3);
    const std::string script = scriptFolder;
    const auto has = [&](const char* name) {
        return platform::PathExists(platform::JoinPath(script, name));
    };
    std::string line;
    for (const std::string& argument : arguments)
        line += argument + "\n";
    platform::WriteFileAtomic(platform::JoinPath(script, "arguments.received"), line);
    if (has("noconnect")) std::_Exit(0);
    if (has("hold") && !testing::WaitUntil([&] { return has("go"); }, 30000)) std::_Exit(5);
    std::string error;
    const std::string pipeName = arguments.size() >= 3 ? arguments[2] : "";
    std::unique_ptr<platform::PipeConnection> pipe = platform::ConnectPipe(pipeName, 5000, error);
    if (!pipe) std::_Exit(4);
    const std::optional<std::string> request = pipe->Read(5000);
    platform::WriteFileAtomic(platform::JoinPath(script, "request.received"),
                              request.value_or("(none)"));
    for (int index = 0;; ++index) {
        std::string message;
        if (!platform::ReadWholeFile(platform::JoinPath(script, "msg" + std::to_string(index)),
                                     message)) {
            break;
        }
        if (!pipe->Write(message)) break;
    }
    // The messages stay readable after the tool is gone: the connection keeps what was sent.
    std::_Exit(0);
}

const bool gPlayingTheTool = [] {
    const std::vector<std::string> arguments = OwnArguments();
    if (!arguments.empty() && arguments[0].ends_with(std::string("/").append(kBackupToolName))) {
        PlayTheTool(arguments);
    }
    return false;
}();

std::string Percent(int value) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>AMSBackupPercentageKey</key><integer>" +
           std::to_string(value) + "</integer></dict></plist>";
}

std::string Message(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body +
           "</dict></plist>";
}

const std::string kFinal = Message("<key>Status</key><string>Complete</string>");

class BackupRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        ASSERT_FALSE(gPlayingTheTool);
        toolFolder_ = folder_ / "runtime";
        script_ = folder_ / "script";
        ASSERT_TRUE(platform::CreateFolders(toolFolder_));
        ASSERT_TRUE(platform::CreateFolders(script_));
        ASSERT_TRUE(platform::CreateFolders(folder_ / "pipes"));
        ::setenv("BRACKWATER_RUNTIME_DIR", (folder_ / "pipes").c_str(), 1);
        ::setenv(kScriptVariable, script_.c_str(), 1);
        testing::UseRegistry(folder_, testing::RuntimeRegistryText(
                                          toolFolder_, toolFolder_ + "/libMobileDevice.so"));
    }

    void InstallTool() {
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        ASSERT_EQ(::symlink(self, platform::JoinPath(toolFolder_, kBackupToolName).c_str()), 0);
    }

    void Script(const std::vector<std::string>& messages) {
        for (size_t i = 0; i < messages.size(); ++i) {
            folder_.Write("script/msg" + std::to_string(i), messages[i]);
        }
    }

    // Starts a run and waits for its end; false when it did not finish in time.
    bool Run(BackupStatus& status, int32_t mode = kBackupModeBackup, bool fromCopy = false,
             std::u16string folder = u"") {
        CDeviceBackUp run(u"0123456789abcdef0123456789abcdef01234567", mode, fromCopy,
                          std::move(folder));
        run.SetStatus(&status);
        run.Start();
        return Finished(status);
    }

    static bool Finished(BackupStatus& status) {
        return testing::WaitUntil(
            [&] {
                return std::atomic_ref<uint8_t>(status.finished).load(std::memory_order_acquire) ==
                       1;
            },
            30000);
    }

    std::string Received(const char* name) const {
        return testing::ReadFileBytes(platform::JoinPath(script_, name));
    }

    testing::TempFolder folder_;
    std::string toolFolder_;
    std::string script_;
};

constexpr char16_t kUdid[] = u"0123456789abcdef0123456789abcdef01234567";

TEST_F(BackupRun, ProgressThenTheFinalMessageEndsWithoutFailure) {
    InstallTool();
    Script({Percent(10), "", Percent(55), kFinal, Percent(99)});
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 0);
    EXPECT_EQ(status.errorCode, 0);
    EXPECT_EQ(status.percent, 55.0);
    EXPECT_EQ(status.message[0], 0);
    EXPECT_EQ(Received("request.received"), BuildBackupRequest(kUdid));
    EXPECT_EQ(Received("arguments.received"), platform::JoinPath(toolFolder_, kBackupToolName) +
                                                  "\n--pipe\n\\\\.\\pipe\\MobileBackUp\n");
}

TEST_F(BackupRun, NonIntegerPercentageStoresZero) {
    InstallTool();
    Script({Percent(30), Message("<key>AMSBackupPercentageKey</key><real>60.5</real>"), kFinal});
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.percent, 0.0);
    EXPECT_EQ(status.failed, 0);
}

TEST_F(BackupRun, ErrorCodeFailsTheRunAndEndsIt) {
    InstallTool();
    Script({Percent(20), Message("<key>errorCode</key><integer>105</integer>"), Percent(90)});
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 105);
    EXPECT_EQ(status.percent, 20.0);
    EXPECT_EQ(status.message[0], 0);
}

TEST_F(BackupRun, UnparsableMessageEndsTheRunWithoutErrorCode) {
    InstallTool();
    Script({Percent(40), "this is not a property list", Percent(90)});
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 0);
    EXPECT_EQ(status.errorCode, 0);
    EXPECT_EQ(status.percent, 40.0);
    EXPECT_EQ(status.message[0], 0);
}

TEST_F(BackupRun, MissingToolCannotStart) {
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 1);
    EXPECT_EQ(std::u16string(status.message), u"AppleMobileBackup.exe can't Startup");
}

TEST_F(BackupRun, ToolThatCannotBeExecutedCannotStart) {
    folder_.Write("runtime/AppleMobileBackup.exe", "not a program");
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 1);
    EXPECT_EQ(std::u16string(status.message), u"AppleMobileBackup.exe can't Startup");
}

TEST_F(BackupRun, ToolThatNeverConnectsFailsThePipe) {
    InstallTool();
    folder_.Write("script/noconnect", "");
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 2);
    EXPECT_EQ(status.message[0], 0);
    EXPECT_FALSE(Received("arguments.received").empty());
}

TEST_F(BackupRun, ToolThatEndsWithoutAResultFailsTheRun) {
    InstallTool();
    Script({Percent(10), Percent(20)});
    BackupStatus status{};
    ASSERT_TRUE(Run(status));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 2);
    EXPECT_EQ(status.percent, 20.0);
}

TEST_F(BackupRun, RestoreFromACopyShowsItsTextAndSendsTheSource) {
    InstallTool();
    folder_.Write("script/hold", "");
    Script({Percent(100), kFinal});
    BackupStatus status{};
    CDeviceBackUp run(kUdid, kBackupModeRestore, true,
                      u"/backups/" + std::u16string(kUdid) + u"-copy");
    run.SetStatus(&status);
    run.Start();
    // The tool has not connected yet, so the start text is up.
    EXPECT_TRUE(testing::WaitUntil(
        [&] { return std::u16string(status.message) == u"Start Restore"; }, 10000));
    folder_.Write("script/go", "");
    ASSERT_TRUE(Finished(status));
    EXPECT_EQ(status.failed, 0);
    EXPECT_EQ(status.percent, 100.0);
    EXPECT_EQ(Received("request.received"),
              BuildRestoreRequest(kUdid, std::u16string(kUdid) + u"-copy", true));
}

TEST_F(BackupRun, BackupShowsItsStartText) {
    InstallTool();
    folder_.Write("script/hold", "");
    Script({kFinal});
    BackupStatus status{};
    CDeviceBackUp run(kUdid, kBackupModeBackup, false, u"");
    run.SetStatus(&status);
    run.Start();
    EXPECT_TRUE(testing::WaitUntil(
        [&] { return std::u16string(status.message) == u"Start Backup..."; }, 10000));
    folder_.Write("script/go", "");
    ASSERT_TRUE(Finished(status));
    EXPECT_EQ(status.failed, 0);
}

TEST_F(BackupRun, RunWithoutStatusRecordStillTalksToTheTool) {
    InstallTool();
    Script({Percent(50), kFinal});
    CDeviceBackUp run(kUdid, kBackupModeRestore, false, u"/backups/x");
    run.Start();
    ASSERT_TRUE(testing::WaitUntil(
        [&] { return platform::PathExists(platform::JoinPath(script_, "request.received")); },
        20000));
    EXPECT_EQ(Received("request.received"), BuildRestoreRequest(kUdid, u"x", false));
}

}  // namespace
}  // namespace bw
