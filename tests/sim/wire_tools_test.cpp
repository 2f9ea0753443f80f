// Clients no one here wrote (Debian's libimobiledevice tools) against the simulated phones: what
// they print and copy is checked against the image, and after each one exits every link it
// opened has ended and the simulator holds nothing open.
#include <dirent.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "common/plist_file.h"
#include "sim/wire_support.h"

namespace bw::testing::wire {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// device.plist read straight from the image.
sim::PlistTree DeviceValues(const std::string& image) {
    const std::string bytes = ReadFileBytes(image + "/device.plist");
    plist_t tree = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    return sim::PlistTree(tree);
}

// The bundle identifiers of the image's user applications, from their Info.plist files.
std::set<std::string> ImageBundleIds(const std::string& image) {
    std::set<std::string> ids;
    namespace fs = std::filesystem;
    const fs::path applications = fs::path(image) / "fs/var/mobile/Applications";
    for (const fs::directory_entry& container : fs::directory_iterator(applications)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(container.path())) {
            if (entry.path().extension() != ".app") continue;
            const std::string bytes = ReadFileBytes((entry.path() / "Info.plist").string());
            plist_t info = nullptr;
            plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &info);
            sim::PlistTree owned(info);
            ids.insert(TextAt(info, "CFBundleIdentifier"));
        }
    }
    return ids;
}

using WireToolsTest = WireTest;

TEST_F(WireToolsTest, DeviceListingNamesTheUsbPhonesAndTheNetworkOnesApart) {
    BW_REQUIRE_TOOL(tool, "idevice_id");
    sim::ImageOptions second, wifi;
    second.seed = 2;
    wifi.seed = 3;
    wifi.interfaceType = "Network";
    const std::string first = Attach(MakeImage("first"));
    const std::string other = Attach(MakeImage("second", second));
    const std::string remote = Attach(MakeImage("wifi", wifi));
    ASSERT_TRUE(StartServer());

    ToolRun run = Run(tool + " -l");
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected{first, other};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);

    run = Run(tool + " -n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{remote});
    ExpectClientGone();

    // A phone that leaves is no longer listed.
    ASSERT_EQ(BwSimDetach(other.c_str()), 0);
    ASSERT_EQ(BwSimWaitForNotifications(10000), 0);
    run = Run(tool + " -l");
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{first});
    ExpectClientGone();
}

TEST_F(WireToolsTest, DeviceInformationComesFromTheImageThroughLockdown) {
    BW_REQUIRE_TOOL(tool, "ideviceinfo");
    sim::ImageOptions options;
    options.name = "Wire Phone";
    options.iosVersion = "6.1.3";
    const std::string image = MakeImage("phone", options);
    const std::string udid = Attach(image);
    ASSERT_TRUE(StartServer());
    const sim::PlistTree values = DeviceValues(image);
    ASSERT_NE(values, nullptr);

    ToolRun run = Run(tool + " -u " + udid + " -k DeviceName");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Wire Phone\n");
    ExpectClientGone();

    run = Run(tool + " -u " + udid + " -k ProductVersion");
    EXPECT_EQ(run.out, "6.1.3\n");
    ExpectClientGone();

    // The whole default domain, one "Key: value" line per value of device.plist.
    run = Run(tool + " -u " + udid);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    const std::set<std::string> printed(lines.begin(), lines.end());
    EXPECT_TRUE(printed.count("UniqueDeviceID: " + udid)) << run.out;
    EXPECT_TRUE(printed.count("ProductType: " + TextAt(values.get(), "ProductType"))) << run.out;
    EXPECT_TRUE(printed.count("SerialNumber: " + TextAt(values.get(), "SerialNumber"))) << run.out;
    EXPECT_EQ(run.out.find("Simulator"), std::string::npos)
        << "the behaviour switches stay private";
    ExpectClientGone();

    // A domain: every key of the image's battery domain, and nothing else.
    run = Run(tool + " -u " + udid + " -q com.apple.mobile.battery");
    ASSERT_EQ(run.status, 0) << run.err;
    const plist_t battery = plist_dict_get_item(values.get(), "com.apple.mobile.battery");
    ASSERT_NE(battery, nullptr);
    std::set<std::string> keys;
    for (const std::string& line : Lines(run.out))
        keys.insert(line.substr(0, line.find(':')));
    std::set<std::string> imageKeys;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(battery, &iter);
    char* key = nullptr;
    plist_t node = nullptr;
    for (plist_dict_next_item(battery, iter, &key, &node); key != nullptr;
         plist_dict_next_item(battery, iter, &key, &node)) {
        imageKeys.insert(key);
        std::free(key);
        key = nullptr;
    }
    std::free(iter);
    EXPECT_EQ(keys, imageKeys);
    ExpectClientGone();
}

TEST_F(WireToolsTest, APhoneWithoutAPairRecordIsNotReadAndNothingStaysOpen) {
    BW_REQUIRE_TOOL(tool, "ideviceinfo");
    sim::ImageOptions options;
    options.paired = false;
    options.refusesPairing = true;
    const std::string udid = Attach(MakeImage("stranger", options));
    ASSERT_TRUE(StartServer());
    const ToolRun run = Run(tool + " -u " + udid + " -k DeviceName");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.out.find(udid), std::string::npos);
    ExpectClientGone();
}

TEST_F(WireToolsTest, PairingMakesARecordThatOpensLockdownAndARefusalIsReported) {
    BW_REQUIRE_TOOL(pair, "idevicepair");
    BW_REQUIRE_TOOL(info, "ideviceinfo");
    sim::ImageOptions options;
    options.paired = false;
    options.iosVersion = "6.1.3";  // still answers the validation request
    options.name = "New Phone";
    const std::string udid = Attach(MakeImage("new", options));
    options.refusesPairing = true;
    options.seed = 2;
    const std::string refusing = Attach(MakeImage("refusing", options));
    ASSERT_TRUE(StartServer());

    // The tool makes the phone's certificate from its public key, the phone pairs, and the
    // record the tool saved with the multiplexer opens sessions from then on.
    ToolRun run = Run(pair + " -u " + udid + " pair");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("SUCCESS: Paired with device " + udid), std::string::npos) << run.out;
    ExpectClientGone();
    run = Run(pair + " -u " + udid + " validate");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("SUCCESS: Validated pairing with device " + udid), std::string::npos)
        << run.out;
    ExpectClientGone();
    run = Run(info + " -u " + udid + " -k DeviceName");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "New Phone\n");
    ExpectClientGone();

    // A phone whose user denies the host: the tool says so, and saves nothing.
    run = Run(pair + " -u " + refusing + " pair");
    EXPECT_NE(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("denied"), std::string::npos) << run.out;
    ExpectClientGone();
    run = Run(info + " -u " + refusing + " -k DeviceName");
    EXPECT_NE(run.status, 0) << run.out;
    ExpectClientGone();
}

TEST_F(WireToolsTest, ApplicationListingComesThroughTheInstallationProxy) {
    BW_REQUIRE_TOOL(tool, "ideviceinstaller");
    const std::string image = MakeImage("phone");
    const std::string udid = Attach(image);
    ASSERT_TRUE(StartServer());
    const ToolRun run = Run(tool + " -u " + udid + " -l");
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("CFBundleIdentifier", 0), 0u) << lines.front();
    std::set<std::string> listed;
    for (size_t i = 1; i < lines.size(); ++i)
        listed.insert(lines[i].substr(0, lines[i].find(',')));
    EXPECT_EQ(listed, ImageBundleIds(image));
    ExpectClientGone();
}

TEST_F(WireToolsTest, CrashReportsAreMovedAndCopiedByteForByte) {
    BW_REQUIRE_TOOL(tool, "idevicecrashreport");
#if !BW_WIRE_SERVES_AFC
    GTEST_SKIP() << "AFC on the wire is not built into this tree";
#endif
    const std::string image = MakeImage("phone");
    const std::string udid = Attach(image);
    ASSERT_TRUE(StartServer());
    const std::string out = folder_ / "reports";
    std::filesystem::create_directories(out);
    const ToolRun run = Run(tool + " -u " + udid + " -k -e " + out);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ExpectClientGone();

    // Every regular file of the crash area arrives with the same bytes, and -k left them there.
    namespace fs = std::filesystem;
    const fs::path area = fs::path(image) / "fs/var/mobile/Library/Logs/CrashReporter";
    size_t compared = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(area)) {
        if (!entry.is_regular_file() || entry.is_symlink()) continue;
        const fs::path relative = fs::relative(entry.path(), area);
        const fs::path copied = fs::path(out) / relative;
        ASSERT_TRUE(fs::exists(copied)) << relative << "\n" << run.out;
        EXPECT_EQ(ReadFileBytes(copied.string()), ReadFileBytes(entry.path().string())) << relative;
        ++compared;
    }
    EXPECT_GT(compared, 0u);
}

}  // namespace
}  // namespace bw::testing::wire
