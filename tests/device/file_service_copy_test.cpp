#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include "platform/files.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::ReadFileBytes;
using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// The names in a host folder, so that a test can tell no partial file was left behind.
std::vector<std::string> HostNames(const std::string& folder) {
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(folder, entries);
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

class FileServiceCopy : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        image_ = MakeImage("phone");
        host_ = folder_ / "host";
        ASSERT_TRUE(platform::CreateFolders(host_));
        Listen();
        phone_ = Arrive(image_, &udid_);
        ASSERT_NE(phone_, nullptr);
    }

    std::string Media(std::string_view devicePath) const {
        return sim::ImagePath(image_, devicePath, sim::ImageRoot::Media);
    }

    std::string image_;
    std::string host_;
    std::string udid_;
    CIPhone* phone_ = nullptr;
};

// Both directions, empty and across several blocks; a copy from the device replaces an older
// host file of the same name and leaves nothing beside it.
TEST_F(FileServiceCopy, CopiesEveryByteBothWaysAndReplacesAnOldFile) {
    for (const size_t size : {size_t{0}, 3 * kCopyBlockSize + 17}) {
        SCOPED_TRACE(size);
        const std::string bytes = RandomBytes(size, 7);
        const std::string source = host_ + "/source.bin";
        ASSERT_TRUE(platform::WriteFileAtomic(source, bytes));
        ASSERT_TRUE(platform::WriteFileAtomic(host_ + "/back.bin", "old"));
        phone_->lastResult = 1;
        ASSERT_TRUE(phone_->CopyFileToDevice(source, "/Downloads/copy.bin"));
        EXPECT_EQ(phone_->lastResult, 0);
        EXPECT_EQ(ReadFileBytes(Media("/Downloads/copy.bin")), bytes);
        ASSERT_TRUE(phone_->CopyFileFromDevice("Downloads\\copy.bin", host_ + "/back.bin"));
        EXPECT_TRUE(platform::IsFile(host_ + "/back.bin"));
        EXPECT_EQ(ReadFileBytes(host_ + "/back.bin"), bytes);
        EXPECT_EQ(HostNames(host_), (std::vector<std::string>{"back.bin", "source.bin"}));
        ExpectOpen(kWiredAfc, kWiredServices);
    }
    EndListening();
}

TEST_F(FileServiceCopy, MissingDeviceFileSetsTheResultAndCreatesNoHostFile) {
    phone_->lastResult = 0;
    EXPECT_FALSE(phone_->CopyFileFromDevice("/Downloads/none.bin", host_ + "/none.bin"));
    EXPECT_EQ(phone_->lastResult, 1);
    EXPECT_TRUE(HostNames(host_).empty());
    // An existing host file of that name is left as it was.
    ASSERT_TRUE(platform::WriteFileAtomic(host_ + "/kept.bin", "kept"));
    EXPECT_FALSE(phone_->CopyFileFromDevice("/Downloads/none.bin", host_ + "/kept.bin"));
    EXPECT_EQ(ReadFileBytes(host_ + "/kept.bin"), "kept");
    // A folder cannot be opened as a file either.
    phone_->lastResult = 0;
    EXPECT_FALSE(phone_->CopyFileFromDevice("/DCIM", host_ + "/dcim"));
    EXPECT_EQ(phone_->lastResult, 1);
    EXPECT_EQ(HostNames(host_), std::vector<std::string>{"kept.bin"});
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileServiceCopy, UnwritableHostFolderLeavesTheDeviceFileClosed) {
    phone_->lastResult = 5;
    EXPECT_FALSE(
        phone_->CopyFileFromDevice("/DCIM/100APPLE/IMG_0001.JPG", host_ + "/missing/folder/x.jpg"));
    EXPECT_EQ(phone_->lastResult, 5);
    EXPECT_FALSE(platform::PathExists(host_ + "/missing"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileServiceCopy, ReadFailureLeavesNoHostFile) {
    ASSERT_TRUE(
        platform::WriteFileAtomic(Media("/Downloads/two.bin"), RandomBytes(2 * kCopyBlockSize, 3)));
    // The first read fails.
    ASSERT_TRUE(sim_.InjectFailure("AFCFileRefRead", nullptr, 4, 1));
    EXPECT_FALSE(phone_->CopyFileFromDevice("/Downloads/two.bin", host_ + "/two.bin"));
    EXPECT_TRUE(HostNames(host_).empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileServiceCopy, ToDeviceFailuresLeaveTheResultAsTheySay) {
    phone_->lastResult = 7;
    EXPECT_FALSE(phone_->CopyFileToDevice(host_ + "/none.bin", "/Downloads/none.bin"));
    EXPECT_EQ(phone_->lastResult, 7);
    EXPECT_FALSE(phone_->CopyFileToDevice(host_, "/Downloads/folder.bin"));  // a folder
    EXPECT_EQ(phone_->lastResult, 7);

    ASSERT_TRUE(platform::WriteFileAtomic(host_ + "/a.bin", "abc"));
    ASSERT_TRUE(sim_.InjectFailure("AFCFileRefOpen", "/Downloads/refused.bin", 10));
    EXPECT_FALSE(phone_->CopyFileToDevice(host_ + "/a.bin", "/Downloads/refused.bin"));
    EXPECT_EQ(phone_->lastResult, 1);
    EXPECT_FALSE(platform::PathExists(Media("/Downloads/refused.bin")));

    ASSERT_TRUE(sim_.InjectFailure("AFCFileRefWrite", nullptr, 18));
    EXPECT_FALSE(phone_->CopyFileToDevice(host_ + "/a.bin", "/Downloads/full.bin"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

// A large device file, sparse so that the image costs no disk space.
std::string MakeLargeDeviceFile(const std::string& path, uint64_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return {};
    std::fclose(file);
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) return {};
    return path;
}

// True once a partial file with some bytes in it shows up in the folder.
bool PartialFileGrowing(const std::string& folder) {
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(folder, entries);
    for (const auto& entry : entries) {
        if (entry.name.find(".bwpart-") != std::string::npos && entry.size > 0) return true;
    }
    return false;
}

TEST_F(FileServiceCopy, CancelFromAnotherThreadStopsTheCopyAndLeavesNoFile) {
    ASSERT_FALSE(MakeLargeDeviceFile(Media("/Downloads/huge.bin"), uint64_t{2} << 30).empty());
    std::atomic<int> result{-1};
    std::thread copier([&] {
        result = phone_->CopyFileFromDevice("/Downloads/huge.bin", host_ + "/huge.bin") ? 1 : 0;
    });
    EXPECT_TRUE(testing::WaitUntil([&] { return PartialFileGrowing(host_); }, 20000));
    phone_->CancelCopy();
    copier.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(HostNames(host_).empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileServiceCopy, DeviceLeavingDuringACopyEndsItCleanly) {
    ASSERT_FALSE(MakeLargeDeviceFile(Media("/Downloads/huge.bin"), uint64_t{2} << 30).empty());
    std::atomic<int> result{-1};
    std::thread copier([&] {
        result = phone_->CopyFileFromDevice("/Downloads/huge.bin", host_ + "/huge.bin") ? 1 : 0;
    });
    EXPECT_TRUE(testing::WaitUntil([&] { return PartialFileGrowing(host_); }, 20000));
    Leave(udid_);
    copier.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(HostNames(host_).empty());
    EXPECT_TRUE(phone_->IsRetired());
    ExpectNothingOpen();
    EndListening();
}

}  // namespace
}  // namespace bw
