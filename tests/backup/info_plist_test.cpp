// The backup information file written for simulated devices, checked on the bytes written into
// the folder.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "backup/backup_info.h"
#include "device/app_install_proxy.h"
#include "formats/plist_library.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

constexpr char kLowercaseUdid[] = "00008a0f3c9b1e2d4a5b6c7d8e9fa0b1c2d3e4f5";

class InfoPlist : public SimDeviceTest {
  protected:
    CIPhone* ArriveWith(const sim::ImageOptions& options, bool keepIdentity = true) {
        Listen();
        image_ = MakeImage("phone", options);
        if (!keepIdentity)
            RemoveDeviceValues({"InternationalMobileEquipmentIdentity",
                                "IntegratedCircuitCardIdentity", "PhoneNumber"});
        CIPhone* phone = Arrive(image_, &udid_);
        EXPECT_NE(phone, nullptr);
        return phone;
    }

    // A phone without a cellular radio reports none of these values; the image builder always
    // gives one, so the test takes them out of the image's device.plist.
    void RemoveDeviceValues(const std::vector<std::string>& keys) {
        const std::string path = platform::JoinPath(image_, "device.plist");
        CDicValueObj values;
        readPlistFromFile(path, values);
        ASSERT_EQ(values.type, kPlistDictionary);
        PlistDictionary& entries = *values.Dictionary();
        std::erase_if(entries, [&](const auto& entry) {
            return std::find(keys.begin(), keys.end(), entry.first) != keys.end();
        });
        writeXmlFile(values, path);
    }

    void PutDeviceFile(const std::string& devicePath, const std::string& bytes) {
        folder_.Write(sim::ImagePath(image_, devicePath, sim::ImageRoot::Media)
                          .substr(folder_.path().size() + 1),
                      bytes);
    }

    CDicValueObj ReadInfo(const std::string& folder) {
        CDicValueObj info;
        readPlistFromFile(platform::JoinPath(folder, "Info.plist"), info);
        return info;
    }

    static std::vector<std::string> Keys(const CDicValueObj& info) {
        std::vector<std::string> keys;
        if (info.Dictionary() == nullptr) return keys;
        for (const auto& entry : *info.Dictionary())
            keys.push_back(entry.first);
        return keys;
    }

    std::string image_;
    std::string udid_;
};

TEST_F(InfoPlist, WritesEveryKeyInOrderWithTheDeviceValues) {
    sim::ImageOptions options;
    options.udid = kLowercaseUdid;
    options.name = "Test Phone";
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    const std::string backup = folder_ / "backup";
    ASSERT_TRUE(platform::CreateFolders(backup));

    CCreateInfoPlist writer(phone, backup);
    writer.SetInstalledApplications({"com.example.one", "com.example.two"});
    const int64_t before = platform::NowUnixSeconds();
    ASSERT_EQ(writer.WriteInfoPlist(), 1);
    const int64_t after = platform::NowUnixSeconds();

    const CDicValueObj info = ReadInfo(backup);
    ASSERT_EQ(info.type, kPlistDictionary);
    const std::vector<std::string> expected = {"Build Version",
                                               "Device Name",
                                               "Display Name",
                                               "GUID",
                                               "ICCID",
                                               "IMEI",
                                               "Installed Applications",
                                               "Last Backup Date",
                                               "Phone Number",
                                               "Product Type",
                                               "Product Version",
                                               "Serial Number",
                                               "Target Identifier",
                                               "Unique Identifier",
                                               "Target Type",
                                               "iTunes Files",
                                               "iTunes Settings",
                                               "iTunes Version",
                                               "Larkspur Version"};
    EXPECT_EQ(Keys(info), expected);

    const std::pair<const char*, std::string> values[] = {
        {"Device Name", "Test Phone"},
        {"Display Name", "Test Phone"},
        {"Unique Identifier", "00008A0F3C9B1E2D4A5B6C7D8E9FA0B1C2D3E4F5"},
        {"Target Identifier", udid_},
        {"Target Type", "Device"},
        {"iTunes Version", "11.0.2"},
        {"Larkspur Version", "1.0.0.0"},
        {"Serial Number", phone->serialNumber},
        {"Product Version", phone->ReadDeviceValueText("", "ProductVersion")},
    };
    for (const auto& [key, value] : values)
        EXPECT_EQ(info.GetString(key), value) << key;
    EXPECT_FALSE(info.GetString("Phone Number").value_or("").empty());
    EXPECT_FALSE(info.GetString("ICCID").value_or("").empty());

    const std::string guid = info.GetString("GUID").value_or("");
    ASSERT_EQ(guid.size(), 36u);
    EXPECT_EQ(guid[8], '-');
    EXPECT_EQ(guid[23], '-');

    const CDicValueObj* apps = info.Find("Installed Applications");
    ASSERT_NE(apps, nullptr);
    ASSERT_NE(apps->Array(), nullptr);
    ASSERT_EQ(apps->Array()->size(), 2u);
    EXPECT_EQ(*(*apps->Array())[1].String(), "com.example.two");

    // Written in UTC: the date read back lies between the two clock readings.
    const auto date = info.GetDate("Last Backup Date");
    ASSERT_TRUE(date.has_value());
    const int64_t written = PlistReferenceSecondsFromCalendar(*date) + 978307200;
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);

    const CDicValueObj* settings = info.Find("iTunes Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->GetString("FairPlayGUID"), udid_);
    EndListening();
}

TEST_F(InfoPlist, DeviceWithoutRadioLeavesOutTheCardValues) {
    sim::ImageOptions options;
    options.hasSim = false;
    CIPhone* phone = ArriveWith(options, /*keepIdentity=*/false);
    ASSERT_NE(phone, nullptr);
    CCreateInfoPlist writer(phone, folder_.path());
    ASSERT_EQ(writer.WriteInfoPlist(), 1);
    const CDicValueObj info = ReadInfo(folder_.path());
    ASSERT_EQ(info.type, kPlistDictionary);
    EXPECT_EQ(info.Find("ICCID"), nullptr);
    EXPECT_EQ(info.Find("IMEI"), nullptr);
    EXPECT_NE(info.Find("Build Version"), nullptr);
    EXPECT_NE(info.Find("Target Identifier"), nullptr);
    EXPECT_EQ(info.GetString("Phone Number"), "");
    EndListening();
}

TEST_F(InfoPlist, DeviceFilesWhenPresentAndNotEmptyAndTheDevicesUserApplications) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    PutDeviceFile("/Books/iBooksData.plist", "books one");
    PutDeviceFile("/Books/iBooksData2.plist", "");  // empty: left out
    // iBooksData3.plist is missing.
    PutDeviceFile("/iTunes_Control/iTunes/iTunesPrefs", std::string("prefs\0bytes", 11));
    PutDeviceFile("/iTunes_Control/iTunes/PhotosFolderName", "Pictures");
    PutDeviceFile("/iTunes_Control/iTunes/Unlisted", "never read");

    CCreateInfoPlist writer(phone, folder_.path());
    ASSERT_EQ(writer.WriteInfoPlist(), 1);
    const CDicValueObj info = ReadInfo(folder_.path());
    EXPECT_EQ(info.GetData("iBooks Data"), "books one");
    EXPECT_EQ(info.Find("iBooks Data 2"), nullptr);
    EXPECT_EQ(info.Find("iBooks Data 3"), nullptr);

    const std::vector<std::string> keys = Keys(info);
    const auto books = std::find(keys.begin(), keys.end(), "iBooks Data");
    const auto files = std::find(keys.begin(), keys.end(), "iTunes Files");
    EXPECT_LT(std::find(keys.begin(), keys.end(), "Target Type"), books);
    EXPECT_LT(books, files);

    const CDicValueObj* itunes = info.Find("iTunes Files");
    ASSERT_NE(itunes, nullptr);
    EXPECT_EQ(Keys(*itunes), (std::vector<std::string>{"PhotosFolderName", "iTunesPrefs"}));
    EXPECT_EQ(itunes->GetData("iTunesPrefs"), std::string("prefs\0bytes", 11));
    EXPECT_EQ(itunes->GetData("PhotosFolderName"), "Pictures");

    // Without a list of its own, the writer lists the device's user applications only.
    const CDicValueObj* apps = info.Find("Installed Applications");
    ASSERT_TRUE(apps != nullptr && apps->Array() != nullptr);
    std::vector<std::string> identifiers, expected;
    for (const CDicValueObj& app : *apps->Array())
        identifiers.push_back(app.String() != nullptr ? *app.String() : "(not a string)");
    for (const InstalledApplication& app : ListInstalledApplications(*phone))
        expected.push_back(app.bundleIdentifier);
    EXPECT_EQ(identifiers, expected);
    EXPECT_NE(std::find(identifiers.begin(), identifiers.end(), "com.nimbuslabs.skyline"),
              identifiers.end());
    EXPECT_EQ(std::find(identifiers.begin(), identifiers.end(), "com.apple.mobilesafari"),
              identifiers.end());
    EndListening();
}

TEST_F(InfoPlist, WritingTwiceReplacesTheFile) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    folder_.Write("Info.plist", "not a property list");
    CCreateInfoPlist writer(phone, folder_.path());
    ASSERT_EQ(writer.WriteInfoPlist(), 1);
    const std::string first = ReadInfo(folder_.path()).GetString("GUID").value_or("");
    ASSERT_EQ(writer.WriteInfoPlist(), 1);
    const CDicValueObj second = ReadInfo(folder_.path());
    EXPECT_EQ(second.GetString("Larkspur Version"), "1.0.0.0");
    EXPECT_NE(second.GetString("GUID").value_or(""), first);
    EXPECT_FALSE(first.empty());
    // Nothing else is left beside it (no temporary copies of device files or partial writes).
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(folder_.path(), entries));
    size_t plists = 0;
    for (const auto& entry : entries)
        plists += entry.name.find("Info.plist") != std::string::npos ? 1 : 0;
    EXPECT_EQ(plists, 1u);
    EndListening();
}

// A device file read for the information file passes through a temporary copy: held in the
// middle of that copy, the copy is seen in a folder only the user may enter, readable by the user
// alone, and in nothing another user could have prepared in the shared temporary folder.
TEST_F(InfoPlist, TemporaryCopiesOfDeviceFilesArePrivate) {
    const std::string shared = folder_ / "shared";
    ASSERT_TRUE(platform::CreateFolder(shared));
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ::setenv("TMPDIR", shared.c_str(), 1);
    const std::string own = shared + "/brackwater-" + std::to_string(::geteuid());
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    PutDeviceFile("/Books/iBooksData.plist", "books one");

    CCreateInfoPlist writer(phone, folder_.path());
    writer.SetInstalledApplications({});
    ASSERT_TRUE(sim_.BlockCall("AFCFileRefRead", nullptr, 1));
    unsigned char written = 0;
    std::thread writing([&] { written = writer.WriteInfoPlist(); });
    const bool held = sim_.WaitBlocked();
    std::vector<std::string> seen;
    if (held) {
        for (const std::string& folder : {own, own + "/Brackwater"}) {
            struct stat info {};
            EXPECT_EQ(::lstat(folder.c_str(), &info), 0) << folder;
            EXPECT_TRUE(S_ISDIR(info.st_mode)) << folder;
            EXPECT_EQ(info.st_uid, ::geteuid()) << folder;
            EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
        }
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(own + "/Brackwater", entries);
        for (const platform::FolderEntry& entry : entries) {
            struct stat info {};
            ASSERT_EQ(::lstat((own + "/Brackwater/" + entry.name).c_str(), &info), 0);
            EXPECT_TRUE(S_ISREG(info.st_mode)) << entry.name;
            EXPECT_EQ(info.st_mode & 07777, 0600u) << entry.name;
            seen.push_back(entry.name);
        }
    }
    sim_.Release();
    writing.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(seen.size(), 1u);  // the copy being written
    EXPECT_EQ(written, 1);
    EXPECT_EQ(ReadInfo(folder_.path()).GetData("iBooks Data"), "books one");
    // Only the user's own folder is in the shared one, and the copy is gone again.
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(shared, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(shared + "/" + entries[0].name, own);
    ASSERT_TRUE(platform::ListFolder(own + "/Brackwater", entries = {}));
    EXPECT_TRUE(entries.empty());
    EndListening();
}

TEST_F(InfoPlist, NothingIsWrittenWithoutDeviceOrIntoAMissingFolder) {
    CCreateInfoPlist noDevice(nullptr, folder_.path());
    EXPECT_EQ(noDevice.WriteInfoPlist(), 0);
    EXPECT_FALSE(platform::PathExists(folder_ / "Info.plist"));

    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    CCreateInfoPlist missing(phone, folder_ / "no/such/folder");
    EXPECT_EQ(missing.WriteInfoPlist(), 0);
    EXPECT_FALSE(platform::PathExists(folder_ / "no"));
    EndListening();
}

}  // namespace
}  // namespace bw
