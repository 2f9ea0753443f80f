// What the recent-application and push-store tests share: a simulated phone whose home screen
// names the applications (the registry, an image, the listener and the arrived device, ended in
// one place), and property lists read with libplist rather than the library (the texts, time
// zone and libplist helpers of the Safari tests come with it).
#pragma once

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <string>
#include <vector>

#include "device/connect_listener.h"
#include "device/iphone.h"
#include "image/image_builder.h"
#include "platform/files.h"
#include "privacy/safari_test_support.h"
#include "support/sim_device.h"
#include "support/test_images.h"

namespace bw::testing {

using LibplistTree = Node;
using sim::PlistXml;

// The file parsed by libplist (binary or XML); null when it is not a property list.
inline LibplistTree LibplistFile(const std::string& path) {
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes)) return LibplistTree();
    return ParseBytes(bytes);
}

// The strings of an array node, with "<other>" for any element of another type.
inline std::vector<std::string> LibplistStrings(plist_t array) {
    std::vector<std::string> texts;
    if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY) return texts;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
        plist_t item = plist_array_get_item(array, i);
        if (plist_get_node_type(item) != PLIST_STRING) {
            texts.emplace_back("<other>");
            continue;
        }
        char* text = nullptr;
        plist_get_string_val(item, &text);
        texts.emplace_back(text != nullptr ? text : "");
        free(text);
    }
    return texts;
}

// A simulated phone of the given release, attached and listed; detached in the destructor,
// which also checks that the scanners closed every session and service they opened.
class SimPhone {
  public:
    CIPhone* Start(const TempFolder& folder, const std::string& iosVersion = "7.1.2") {
        UseRegistry(folder, RuntimeRegistryText(
                                BRACKWATER_SIM_RUNTIME_DIR,
                                std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libMobileDevice.so"));
        sim::ImageOptions options;
        options.iosVersion = iosVersion;
        image_ = folder / "phone";
        std::string error;
        if (!testing::MakeTestImage(image_, options, error)) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        listener_ = NewConnectListener(false, false);
        listener_->SetCallback(CallbackLog::Record, &log_);
        listener_->StartListening();
        if (sim_.Attach(image_).empty() || !sim_.Settle()) return nullptr;
        return log_.Device(kDeviceArrived);
    }

    ~SimPhone() {
        if (listener_ == nullptr) return;
        // Scans open their springboard sessions and close them before they return.
        const BwSimCounters counters = sim_.Counters();
        EXPECT_EQ(counters.sessions, 0);
        EXPECT_EQ(counters.serviceConnections, kWiredServices);
        sim_.DetachAll();
        sim_.Settle();
        listener_->StopListening();
        DeleteConnectListener();
    }

    const std::string& Image() const { return image_; }

  private:
    SimControl sim_;
    CallbackLog log_;
    IConnectListener* listener_ = nullptr;
    std::string image_;
};

}  // namespace bw::testing
