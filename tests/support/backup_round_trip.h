// A device test that backs the simulated phone up and restores it through the backup tool, for
// the deep-clean round trips: every regular file of an image with its bytes, and one run of the
// tool that must end without a failure. Suites built on it are named "BackupRun..." so that they
// start the backup tool one at a time.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>

#include "backup/device_backup.h"
#include "platform/text.h"
#include "support/sim_device.h"

namespace bw::testing {

class BackupRoundTripTest : public SimDeviceTest {
  protected:
    // A test that stopped half-way still lets its phone go, so that the next one can attach an
    // image of the same identifier.
    void TearDown() override {
        if (listener_ == nullptr) return;
        sim_.DetachAll();
        sim_.Settle();
        listener_->StopListening();
        DeleteConnectListener();
        listener_ = nullptr;
    }

    // Every regular file below the image's fs/ folder with its bytes.
    static std::map<std::string, std::string> Files(const std::string& image) {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(image + "/fs")) {
            if (entry.is_regular_file() && !entry.is_symlink()) {
                files[entry.path().string()] = ReadFileBytes(entry.path().string());
            }
        }
        return files;
    }

    static bool RunTool(const std::string& udid, int32_t mode) {
        BackupStatus status{};
        CDeviceBackUp run(Utf8ToWide(udid), mode, false, u"");
        run.SetStatus(&status);
        run.Start();
        const bool ended =
            WaitUntil([&] { return std::atomic_ref<uint8_t>(status.finished).load() == 1; }, 60000);
        EXPECT_EQ(status.failed, 0) << WideToUtf8(status.message) << " " << status.errorCode;
        return ended && status.failed == 0;
    }

    // Attaches an image of `version` as the backup tool's phone; the device, or null.
    CIPhone* ArrivePhone(const std::string& version, std::string& image, std::string& udid) {
        EXPECT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
        Listen();
        sim::ImageOptions options;
        options.iosVersion = version;
        image = MakeImage("phone", options);
        // The backup tool is a process of its own: it finds the phone through the environment.
        EXPECT_TRUE(platform::SetEnv("BRACKWATER_SIM_IMAGES", image));
        return Arrive(image, &udid);
    }
};

}  // namespace bw::testing
