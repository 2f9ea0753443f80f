// The built mobile device stand-in as the library sees it: loaded by path, every name of the
// loader's table found with dlsym as a function, and nothing exported besides the C names.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "mobiledevice/MobileDevice.h"
#include "mobiledevice/sim_control.h"
#include "support/build_paths.h"

namespace {

// The loader's 55 names in its lookup order, then the ones hosts use beside them.
const char* const kRuntimeNames[] = {
    "AMDeviceGetInterfaceType", "AMDeviceConnect", "AMDeviceIsPaired", "AMDevicePair",
    "AMDeviceValidatePairing", "AMDeviceStartSession", "AMDeviceStopSession",
    "AMDeviceCopyDeviceIdentifier", "AMDeviceDisconnect", "AMDServiceConnectionGetSocket",
    "AMDServiceConnectionGetSecureIOContext", "AFCConnectionOpen", "AFCConnectionSetSecureContext",
    "AMDListenForNotifications", "AMSInitialize", "AMDObserveNotification",
    "AMDeviceRemoveApplicationArchive", "AFCDeviceInfoOpen", "AMDServiceConnectionSend",
    "AMDServiceConnectionReceive", "AMDeviceStartHouseArrestService", "AFCConnectionClose",
    "AMDServiceConnectionInvalidate", "AFCFileRefOpen", "AFCFileRefClose", "AFCFlushData",
    "AFCFileInfoOpen", "AFCDirectoryOpen", "AFCDirectoryClose", "AFCFileRefLock", "AFCFileRefRead",
    "AFCFileRefSeek", "AFCFileRefTell", "AFCFileRefSetFileSize", "AFCFileRefUnlock",
    "AFCFileRefWrite", "AMDServiceConnectionCreate", "AMDeviceInstallApplication",
    "AMDeviceUninstallApplication", "AMDeviceArchiveApplication", "AMDeviceLookupApplications",
    "AMDeviceGetWirelessBuddyFlags", "AFCDirectoryCreate", "AFCDirectoryRead", "AFCRemovePath",
    "AFCRenamePath", "AMDeviceCopyValue", "AMDeviceNotificationSubscribe", "AFCKeyValueRead",
    "AMDeviceNotificationUnsubscribe", "AMDeviceStartService", "AMDeviceSecureStartService",
    "AMDeviceSetValue", "AMRestoreRegisterForDeviceNotifications", "AMDPostNotification",
    // Not in the table, but part of the runtime every host uses.
    "AMDeviceRetain", "AMDeviceRelease", "AFCKeyValueClose"};

const char* const kControlNames[] = {"BwSimAttach",
                                     "BwSimDetach",
                                     "BwSimDetachAll",
                                     "BwSimGetCounters",
                                     "BwSimInjectFailure",
                                     "BwSimClearFailures",
                                     "BwSimFireRestoreCallback",
                                     "BwSimWaitForNotifications",
                                     "BwSimPostDeviceNotification",
                                     "BwSimCountHostNotifications",
                                     "BwSimLastError"};

// The defined global symbols in the dynamic symbol table of an ELF64 shared library.
std::set<std::string> ExportedNames(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (file.size() < sizeof(Elf64_Ehdr)) return names;
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (header.e_shoff + sections.size() * sizeof(Elf64_Shdr) > file.size()) return names;
    std::memcpy(sections.data(), file.data() + header.e_shoff,
                sections.size() * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM || section.sh_link >= sections.size()) continue;
        const Elf64_Shdr& strings = sections[section.sh_link];
        for (size_t offset = 0; offset + sizeof(Elf64_Sym) <= section.sh_size;
             offset += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, file.data() + section.sh_offset + offset, sizeof symbol);
            if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_BIND(symbol.st_info) == STB_LOCAL)
                continue;
            names.insert(file.data() + strings.sh_offset + symbol.st_name);
        }
    }
    return names;
}

class SimMdExports : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(BRACKWATER_SIM_MD_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) dlclose(handle_);
    }
    void* handle_ = nullptr;
};

TEST_F(SimMdExports, EveryNameIsAFunction) {
    std::vector<const char*> names(std::begin(kRuntimeNames), std::end(kRuntimeNames));
    names.insert(names.end(), std::begin(kControlNames), std::end(kControlNames));
    for (const char* name : names) {
        void* address = dlsym(handle_, name);
        ASSERT_NE(address, nullptr) << name;
        Dl_info info{};
        void* entry = nullptr;
        ASSERT_NE(dladdr1(address, &info, &entry, RTLD_DL_SYMENT), 0) << name;
        const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
        ASSERT_NE(symbol, nullptr) << name;
        EXPECT_EQ(ELF64_ST_TYPE(symbol->st_info), STT_FUNC) << name;
    }
    EXPECT_EQ(std::size(kRuntimeNames), 58u);
}

TEST_F(SimMdExports, LoadingByPathGivesTheLinkedLibrary) {
    // One process, one simulator: the library that loads the runtime by path and a test that
    // links it see the same devices and counters.
    EXPECT_EQ(dlsym(handle_, "BwSimGetCounters"), reinterpret_cast<void*>(&BwSimGetCounters));
    EXPECT_EQ(dlsym(handle_, "AMDeviceConnect"), reinterpret_cast<void*>(&AMDeviceConnect));
}

TEST_F(SimMdExports, OnlyTheCNamesAreExported) {
    const std::set<std::string> exported = ExportedNames(BRACKWATER_SIM_MD_PATH);
    std::set<std::string> expected(std::begin(kRuntimeNames), std::end(kRuntimeNames));
    expected.insert(std::begin(kControlNames), std::end(kControlNames));
    EXPECT_EQ(exported, expected);
}

}  // namespace
