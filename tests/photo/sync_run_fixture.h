// What the photo sync tests share: a phone of the simulator whose AirTraffic side stays silent so
// that the test plays the device's part, the run's time limit shortened for the test, and the
// image's media files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "formats/plist_library.h"
#include "photo/photo_sync.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/sim_device.h"

namespace bw::testing {

// An XML property list of `tree`, as the simulator's message queue takes it.
inline std::string SyncMessageXml(const CDicValueObj& tree) {
    std::string xml;
    writeXmlutf8(tree, xml);
    return xml;
}

class SyncRunTest : public OnePhoneTest {
  protected:
    void SetUp() override {
        OnePhoneTest::SetUp();
        // The run's local folder lives in the platform temporary folder: this test's own.
        ASSERT_TRUE(platform::SetEnv("TMPDIR", folder_.path()));
        SetPhotoSyncTimeLimit(std::chrono::milliseconds(15000));
    }

    void TearDown() override { SetPhotoSyncTimeLimit(kPhotoSyncTimeLimit); }

    // A phone of `version` that answers nothing of its own: the test plays its part of the sync.
    CIPhone* SilentPhone(const std::string& version) {
        sim::ImageOptions options;
        options.iosVersion = version;
        CIPhone* phone = ArriveWith(options);
        if (phone != nullptr) {
            EXPECT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 1), 0);
            EXPECT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), 1), 0);
        }
        return phone;
    }

    void Queue(const char* command, const CDicValueObj& params = CDicValueObj::MakeDictionary()) {
        EXPECT_EQ(
            BwSimAirTrafficQueueMessage(udid_.c_str(), command, SyncMessageXml(params).c_str()), 1)
            << command << ": " << BwSimLastError();
    }

    std::string Media(const std::string& path) const {
        return platform::JoinPath(platform::JoinPath(image_, "fs/var/mobile/Media"), path);
    }
};

}  // namespace bw::testing
