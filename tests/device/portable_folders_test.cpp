// The simulated runtime's camera rolls as the portable-device layer's folder list, and the
// absence of any with a runtime that does not simulate.
#include "device/portable_folders.h"

#include <gtest/gtest.h>

#include "support/runtime_registry.h"
#include "support/sim_device.h"

namespace bw::testing {
namespace {

class SimulatedPortableFolderList : public SimDeviceTest {
  protected:
    void TearDown() override { EndListening(); }

    std::string Dcim(const std::string& image) const {
        return sim::ImagePath(image, "DCIM", sim::ImageRoot::Media);
    }
};

TEST_F(SimulatedPortableFolderList, OneFolderPerAttachedPhoneInArrivalOrderWithItsSerialNumber) {
    Listen();
    EXPECT_TRUE(SimulatedPortableFolders().empty());
    sim::ImageOptions options;
    const std::string first = MakeImage("first", options);
    options.seed = 2;
    options.iosVersion = "5.1.1";
    const std::string second = MakeImage("second", options);
    std::string firstUdid;
    CIPhone* firstPhone = Arrive(first, &firstUdid);
    CIPhone* secondPhone = Arrive(second);
    ASSERT_NE(firstPhone, nullptr);
    ASSERT_NE(secondPhone, nullptr);

    std::vector<platform::PortableFolder> folders = SimulatedPortableFolders();
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0].friendlyName, "Apple iPhone");
    EXPECT_EQ(folders[0].serialNumber, firstPhone->serialNumber);
    EXPECT_EQ(folders[0].folder, Dcim(first));
    EXPECT_EQ(folders[1].serialNumber, secondPhone->serialNumber);
    EXPECT_EQ(folders[1].folder, Dcim(second));
    EXPECT_NE(folders[0].serialNumber, folders[1].serialNumber);

    Leave(firstUdid);
    folders = SimulatedPortableFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0].folder, Dcim(second));
    // EndListening checks that every array and string of the lists was released.
}

class RealRuntimePortableFolders : public RuntimeTableTest {};

TEST_F(RealRuntimePortableFolders, ARuntimeWithoutTheSimulatorsListHasNoFolders) {
    EXPECT_TRUE(SimulatedPortableFolders().empty());  // nothing loaded yet
    ASSERT_TRUE(LoadStubRuntime(folder_));
    EXPECT_EQ(Runtime().BwSimCopyPortableDevices, nullptr);
    EXPECT_TRUE(SimulatedPortableFolders().empty());
}

}  // namespace
}  // namespace bw::testing
