// The device's installation service and the process-wide list of installed user applications
// with their names and icons.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "device/iphone.h"
#include "device/iphone_service.h"
#include "formats/plist_library.h"

namespace bw {

// One installed user application.
struct InstalledApplication {
    std::string name;              // UTF-8
    std::string bundleIdentifier;  // UTF-8
    std::string iconData;          // PNG bytes; empty when none was found
};

inline constexpr char kInstallationProxyService[] = "com.apple.mobile.installation_proxy";

// Connects on construction and keeps the service connection for one listing.
class CAppInstallProxyService : public BaseService {
  public:
    explicit CAppInstallProxyService(CIPhone& phone);
    ~CAppInstallProxyService() override;
    CAppInstallProxyService(const CAppInstallProxyService&) = delete;
    CAppInstallProxyService& operator=(const CAppInstallProxyService&) = delete;

    // The user applications by bundle identifier (a dictionary of attribute dictionaries). Talks
    // to the device only on the first call; later calls give the same result.
    void Browse(CDicValueObj& applications);

    uint8_t connected = 0;
    rt::ServiceHandle serviceHandle = nullptr;
    uint8_t browsed = 0;
    CDicValueObj browseResult;
};

// What one reply of a browse means for the exchange.
enum class BrowseStep { Continue, Stop };

// The request: "Browse" with the attributes the listing reads.
CDicValueObj MakeBrowseRequest();
// Adds the user applications of one reply to `applications` (attributes by bundle identifier)
// and tells whether more replies follow.
BrowseStep TakeBrowseReply(const CDicValueObj& reply,
                           std::map<std::string, CDicValueObj>& applications);
// The list entries of browsed applications in bundle identifier order, names filled, no icons.
std::vector<InstalledApplication> MakeApplicationEntries(const CDicValueObj& applications);

// Fills the process-wide list from the device unless it already holds this device's
// applications, and returns a copy of it. The list is read once and reused; asking for another
// device refills it (see the definition).
std::vector<InstalledApplication> ListInstalledApplications(CIPhone& phone);
// Empties the process-wide list so that the next listing reads the device again.
void ForgetInstalledApplications();

}  // namespace bw
