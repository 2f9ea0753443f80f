// The command-line host's device commands, run as a program against simulator images that each
// test builds; what a command changed is checked on the image's own files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "platform/files.h"
#include "support/cli_run.h"
#include "support/runtime_registry.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

using testing::CliRun;

class DeviceCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        image = folder / "phone";
        sim::ImageOptions options;
        options.name = "Test Phone";
        options.seed = 3;
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    }

    // Runs the program with a private cache and registry, so nothing outside the test's folder
    // is read or written.
    CliRun Run(const std::string& arguments) {
        // The program ends with the device runtime's threads still running (the runtime stays
        // loaded for the life of a process), and the leak checker of a sanitizer build cannot
        // stop such a process to inspect it; the library's own leak checks run in-process.
        return testing::RunCli(folder,
                               "ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" + folder / "cache" +
                                   " TMPDIR=" + folder.path() +
                                   " BRACKWATER_REGISTRY=" + folder / "none.reg",
                               arguments);
    }
    CliRun Sim(const std::string& arguments) { return Run("--sim=" + image + " " + arguments); }
    // The same image served over the real protocols, reached through the device runtime over
    // libimobiledevice; the server's socket goes into the test's own temporary folder.
    CliRun Wire(const std::string& arguments) { return Run("--wire=" + image + " " + arguments); }

    std::string OnImage(const std::string& devicePath,
                        sim::ImageRoot root = sim::ImageRoot::Media) const {
        return sim::ImagePath(image, devicePath, root);
    }

    static size_t Lines(const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    testing::TempFolder folder;
    std::string image;
};

TEST_F(DeviceCommands, DevicesListsTheAttachedPhoneAsTextAndJson) {
    const CliRun text = Sim("devices");
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(Lines(text.out), 1u);
    EXPECT_NE(text.out.find("Test Phone"), std::string::npos);
    EXPECT_NE(text.out.find("7.1.2"), std::string::npos);
    EXPECT_NE(text.out.find("USB"), std::string::npos);

    const CliRun json = Sim("devices --json");
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"udid\":\"", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"name\":\"Test Phone\""), std::string::npos);
    EXPECT_NE(json.out.find("\"productVersion\":\"7.1.2\""), std::string::npos);
    EXPECT_NE(json.out.find("\"connection\":\"USB\""), std::string::npos);
}

TEST_F(DeviceCommands, DevicesReportsANetworkPhone) {
    sim::ImageOptions options;
    options.interfaceType = "Network";
    std::string error;
    ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    const CliRun run = Sim("devices --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"connection\":\"network\""), std::string::npos) << run.out;
}

TEST_F(DeviceCommands, ListShowsTheMediaAreaSortedAndInLongForm) {
    const CliRun root = Sim("ls /");
    ASSERT_EQ(root.status, 0) << root.err;
    EXPECT_NE(root.out.find("DCIM\n"), std::string::npos);
    EXPECT_NE(root.out.find("Downloads\n"), std::string::npos);
    EXPECT_EQ(root.out.find("Applications"), std::string::npos) << "outside the media area";

    const CliRun photos = Sim("ls -l /DCIM/100APPLE");
    ASSERT_EQ(photos.status, 0) << photos.err;
    const std::string first = OnImage("/DCIM/100APPLE/IMG_0001.JPG");
    ASSERT_TRUE(platform::IsFile(first));
    struct stat info {};
    ASSERT_EQ(::stat(first.c_str(), &info), 0);
    EXPECT_NE(photos.out.find("- " + std::string(12 - std::to_string(info.st_size).size(), ' ') +
                              std::to_string(info.st_size)),
              std::string::npos)
        << photos.out;
    EXPECT_LT(photos.out.find("IMG_0001.JPG"), photos.out.find("IMG_0002.JPG"));
}

TEST_F(DeviceCommands, PushPullRoundTripsTheBytesThroughTheImage) {
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + 3);
    const std::string host = folder.Write("in/data.bin", bytes);

    ASSERT_EQ(Sim("push " + host + " /Downloads").status, 0);
    EXPECT_EQ(testing::ReadFileBytes(OnImage("/Downloads/data.bin")), bytes);

    const std::string back = folder / "back.bin";
    const CliRun pulled = Sim("pull /Downloads/data.bin " + back);
    ASSERT_EQ(pulled.status, 0) << pulled.err;
    EXPECT_EQ(testing::ReadFileBytes(back), bytes);

    // Into a folder: the device name is kept.
    platform::CreateFolders(folder / "into");
    ASSERT_EQ(Sim("pull /Downloads/data.bin " + folder / "into").status, 0);
    EXPECT_EQ(testing::ReadFileBytes(folder / "into/data.bin"), bytes);
}

TEST_F(DeviceCommands, MakeAndRemoveChangeTheImageAndRefuseNonEmptyFolders) {
    ASSERT_EQ(Sim("mkdir /Downloads/new").status, 0);
    EXPECT_TRUE(platform::IsFolder(OnImage("/Downloads/new")));
    folder.Write("note.txt", "note");
    ASSERT_EQ(Sim("push " + folder / "note.txt" + " /Downloads/new/note.txt").status, 0);

    const CliRun refused = Sim("rm /Downloads/new");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(Lines(refused.err), 1u);
    EXPECT_NE(refused.err.find("not empty"), std::string::npos);
    EXPECT_TRUE(platform::IsFile(OnImage("/Downloads/new/note.txt")));

    ASSERT_EQ(Sim("rm /Downloads/new/note.txt").status, 0);
    EXPECT_FALSE(platform::IsFile(OnImage("/Downloads/new/note.txt")));
    EXPECT_TRUE(platform::IsFolder(OnImage("/Downloads/new")));

    ASSERT_EQ(Sim("push " + folder / "note.txt" + " /Downloads/new/again.txt").status, 0);
    ASSERT_EQ(Sim("rm -r /Downloads/new").status, 0);
    EXPECT_FALSE(platform::IsFolder(OnImage("/Downloads/new")));
    EXPECT_TRUE(platform::IsFolder(OnImage("/DCIM/100APPLE")));
}

TEST_F(DeviceCommands, BadPathsGiveOneLineAndStatusOneAndChangeNothing) {
    const std::string outsideMarker = folder.Write("outside.txt", "keep");
    for (const std::string& arguments : std::vector<std::string>{
             "ls /no/such/folder", "pull /no/such/file.txt " + folder / "x", "rm /no/such/file",
             "pull /DCIM " + folder / "x", "push " + folder / "missing.bin" + " /Downloads"}) {
        SCOPED_TRACE(arguments);
        const CliRun run = Sim(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("brackwater: ", 0), 0u) << run.err;
    }
    EXPECT_FALSE(platform::IsFile(folder / "x"));
    // ".." stops at the media area's root, so this names /Downloads inside it, not a host file.
    EXPECT_EQ(Sim("rm ../../../../outside.txt").status, 1);
    EXPECT_EQ(testing::ReadFileBytes(outsideMarker), "keep");
}

TEST_F(DeviceCommands, WholeFileSystemOnlyWhereTheDeviceOffersIt) {
    const CliRun refused = Sim("--afc2 ls /");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("com.apple.afc2"), std::string::npos) << refused.err;

    sim::ImageOptions options;
    options.hasAfc2 = true;
    std::string error;
    ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    const CliRun whole = Sim("--afc2 ls /var/mobile");
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_NE(whole.out.find("Media\n"), std::string::npos);
    EXPECT_NE(whole.out.find("Library\n"), std::string::npos);
}

TEST_F(DeviceCommands, DeviceChoiceAndMissingRuntimeAreClearFailures) {
    const CliRun wrong = Sim("--udid 0000000000000000000000000000000000000000 ls /");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("no device with UDID"), std::string::npos) << wrong.err;

    const CliRun noImage = Run("--sim=" + folder / "nothing" + " devices");
    EXPECT_EQ(noImage.status, 1);
    EXPECT_EQ(Lines(noImage.err), 1u);

    // No --sim and a registry that names no runtime: a clear message, not a crash.
    const CliRun noRuntime = Run("devices");
    EXPECT_EQ(noRuntime.status, 1);
    EXPECT_EQ(Lines(noRuntime.err), 1u) << noRuntime.err;

    // A runtime without a phone: the message says what to do, once.
    const std::string runtime = BRACKWATER_SIM_RUNTIME_DIR;
    folder.Write("empty.reg",
                 testing::RuntimeRegistryText(runtime, runtime + "/libMobileDevice.so"));
    const std::string empty =
        "ASAN_OPTIONS=detect_leaks=0 BRACKWATER_REGISTRY=" + folder / "empty.reg";
    const CliRun none = testing::RunCli(folder, empty, "devices");
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out,
              "no device found: connect a device (unlocked, and trusting this computer), or use "
              "--sim\n");
    const CliRun noneToList = testing::RunCli(folder, empty, "ls /");
    EXPECT_EQ(noneToList.status, 1);
    EXPECT_EQ(noneToList.err,
              "brackwater: no device found: connect a device (unlocked, and trusting this "
              "computer), or use --sim\n");

    for (const char* usage : {"devices --wait", "devices --wait x", "ls / /DCIM", "pull /a",
                              "push /a", "rm", "mkdir", "ls / -z", "--sim= devices"}) {
        SCOPED_TRACE(usage);
        EXPECT_EQ(Run(usage).status, 2);
    }
}

TEST_F(DeviceCommands, SeveralPhonesNeedTheUdidToChoose) {
    const std::string second = folder / "second";
    sim::ImageOptions options;
    options.name = "Second Phone";
    options.seed = 9;
    std::string error;
    ASSERT_TRUE(testing::MakeTestImage(second, options, error)) << error;
    const std::string both = "--sim=" + image + ":" + second + " ";

    const CliRun listed = Run(both + "devices --json");
    ASSERT_EQ(listed.status, 0) << listed.err;
    ASSERT_EQ(Lines(listed.out), 2u) << listed.out;
    EXPECT_NE(listed.out.find("Second Phone"), std::string::npos);

    const CliRun ambiguous = Run(both + "mkdir /Downloads/chosen");
    EXPECT_EQ(ambiguous.status, 1);
    EXPECT_NE(ambiguous.err.find("--udid"), std::string::npos) << ambiguous.err;
    EXPECT_FALSE(platform::IsFolder(OnImage("/Downloads/chosen")));

    // The second line is the second phone's; its identifier picks it.
    const size_t line = listed.out.find("Second Phone");
    const size_t open = listed.out.rfind("{\"udid\":\"", line);
    const std::string udid = listed.out.substr(open + 9, 40);
    ASSERT_EQ(Run(both + "--udid " + udid + " mkdir /Downloads/chosen").status, 0);
    EXPECT_TRUE(
        platform::IsFolder(sim::ImagePath(second, "/Downloads/chosen", sim::ImageRoot::Media)));
    EXPECT_FALSE(platform::IsFolder(OnImage("/Downloads/chosen")));
}

// --wire gives what --sim gives wherever the real protocols carry it, names the Apple library a
// feature needs where they do not, and leaves no server or socket behind.
TEST_F(DeviceCommands, WireReachesTheImageThroughTheDeviceRuntime) {
    const CliRun devices = Wire("devices");
    ASSERT_EQ(devices.status, 0) << devices.err;
    EXPECT_EQ(devices.out, Sim("devices").out);
    EXPECT_NE(devices.out.find("Test Phone"), std::string::npos) << devices.out;

    EXPECT_EQ(Wire("ls /DCIM/100APPLE -l").out, Sim("ls /DCIM/100APPLE -l").out);
    const std::string bytes(70000, 'w');
    const std::string local = folder.Write("up.bin", bytes);
    ASSERT_EQ(Wire("push " + local + " /Downloads/up.bin").status, 0);
    EXPECT_EQ(testing::ReadFileBytes(OnImage("/Downloads/up.bin")), bytes);
    ASSERT_EQ(Wire("pull /Downloads/up.bin " + folder / "down.bin").status, 0);
    EXPECT_EQ(testing::ReadFileBytes(folder / "down.bin"), bytes);

    const CliRun info = Wire("info");
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Test Phone"), std::string::npos);
    EXPECT_NE(info.out.find("media usage: not available: it needs Apple's AirTraffic library, "
                            "which the libimobiledevice runtime does not have"),
              std::string::npos)
        << info.out;
    const CliRun backup = Wire("backup");
    EXPECT_EQ(backup.status, 1);
    EXPECT_NE(backup.err.find("needs Apple's backup tool"), std::string::npos) << backup.err;

    EXPECT_EQ(Run("--sim --wire devices").status, 2);
    EXPECT_EQ(Run("--wire= devices").status, 2);
    // Every run stopped its server and removed its socket and registry.
    std::vector<platform::FolderEntry> left;
    ASSERT_TRUE(platform::ListFolder(
        folder / std::string("brackwater-").append(std::to_string(::geteuid())), left));
    EXPECT_TRUE(left.empty()) << left.front().name;
}

TEST_F(DeviceCommands, DemoBuildsTheDemoPhoneOnceAndReusesIt) {
    const CliRun first = Run("demo");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("identical"), std::string::npos);
    EXPECT_NE(first.out.find("not a backup manifest: bad magic at byte 0"), std::string::npos);
    EXPECT_NE(first.out.find("Demo iPhone"), std::string::npos);
    EXPECT_NE(first.out.find("pulled IMG_0001.JPG"), std::string::npos);
    EXPECT_NE(first.out.find("removed /Downloads/note.txt"), std::string::npos);

    const std::string stamp = folder / "cache/brackwater/demo-iphone.builder";
    ASSERT_TRUE(platform::IsFile(stamp));
    struct stat before {};
    ASSERT_EQ(::stat(stamp.c_str(), &before), 0);
    const CliRun second = Run("demo");
    ASSERT_EQ(second.status, 0) << second.err;
    struct stat after {};
    ASSERT_EQ(::stat(stamp.c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    // The demo leaves the phone as it found it.
    EXPECT_FALSE(platform::IsFile(sim::ImagePath(folder / "cache/brackwater/demo-iphone",
                                                 "/Downloads/note.txt", sim::ImageRoot::Media)));
}

// The demo over the real protocols shows the device part that needs no Apple library, and says
// which parts need one instead of failing.
TEST_F(DeviceCommands, DemoOverTheWireShowsWhatTheDeviceRuntimeCanDo) {
    const CliRun demo = Run("demo --wire");
    ASSERT_EQ(demo.status, 0) << demo.err;
    for (const char* shown :
         {"arrives over usbmuxd and lockdown, through the libimobiledevice runtime", "Demo iPhone",
          "written to", "copied IMG_0001.JPG", "pulled IMG_0001.JPG", "removed /Downloads/note.txt",
          "$ brackwater --wire scan all --summary",
          "Adding photos needs Apple's AirTraffic library",
          "Backups and the deep clean need Apple's backup tool"}) {
        EXPECT_NE(demo.out.find(shown), std::string::npos) << shown;
    }
}

}  // namespace
}  // namespace bw
