#include "device/app_icons.h"

#include "device/iphone_file.h"
#include "device/iphone_operation.h"
#include "device/iphone_service.h"
#include "device/runtime_values.h"

namespace bw {

namespace {

// The layout's folders hold pages of items under this key.
constexpr std::string_view kFolderPages = "iconLists";

// An item with both texts is an application; one with folder pages is searched below when
// `folderDepth` allows it. Anything else on a page (web clips without an identifier, newsstand
// placeholders, values of other types) is passed over.
void TakeLayoutItem(const CDicValueObj& item, int folderDepth,
                    std::vector<IconLayoutEntry>& entries);

void TakeLayoutPages(const CDicValueObj& pages, int folderDepth,
                     std::vector<IconLayoutEntry>& entries) {
    const PlistArray* pageList = pages.Array();
    if (pageList == nullptr) return;
    for (const CDicValueObj& page : *pageList) {
        const PlistArray* items = page.Array();
        if (items == nullptr) continue;
        for (const CDicValueObj& item : *items)
            TakeLayoutItem(item, folderDepth, entries);
    }
}

void TakeLayoutItem(const CDicValueObj& item, int folderDepth,
                    std::vector<IconLayoutEntry>& entries) {
    if (item.Dictionary() == nullptr) return;
    std::optional<std::string> displayName = item.GetString("displayName");
    std::optional<std::string> identifier = item.GetString("bundleIdentifier");
    if (displayName && identifier) {
        entries.push_back({std::move(*displayName), std::move(*identifier)});
        return;
    }
    // The home screen nests folders one level deep: a folder's own folders are not searched.
    if (const CDicValueObj* folderPages = item.Find(kFolderPages); folderPages && folderDepth > 0) {
        TakeLayoutPages(*folderPages, folderDepth - 1, entries);
    }
}

}  // namespace

bool OpenSpringboardServices(CIPhone& phone) {
    DeviceOperation operation(phone);
    if (!operation || !phone.ConnectAndStartSession()) return false;
    phone.serviceConnection = nullptr;
    rt::AMDServiceConnectionRef connection = nullptr;
    if (SecureStartDeviceService(phone.device, kSpringboardService, nullptr, &connection) != 0 ||
        connection == nullptr) {
        if (connection != nullptr) CloseServiceHandle(connection);
        Runtime().AMDeviceStopSession(phone.device);
        Runtime().AMDeviceDisconnect(phone.device);
        return false;
    }
    phone.serviceConnection = connection;
    return true;
}

bool GetIconPngData(CIPhone& phone, const std::string& bundleIdentifier, std::string& png) {
    png.clear();
    DeviceOperation operation(phone);
    if (!operation || phone.serviceConnection == nullptr) return false;
    CDicValueObj request = CDicValueObj::MakeDictionary();
    request.Set("command", CDicValueObj::MakeString("getIconPNGData"));
    request.Set("bundleId", CDicValueObj::MakeString(bundleIdentifier));
    CDicValueObj reply;
    if (!BaseService::SendMessage(phone.serviceConnection, request) ||
        !BaseService::ReceiveMessage(phone.serviceConnection, reply)) {
        return false;
    }
    png = reply.GetData("pngData").value_or(std::string());
    return true;
}

bool GetIconState(CIPhone& phone, std::vector<IconLayoutEntry>& entries) {
    entries.clear();
    DeviceOperation operation(phone);
    if (!operation || phone.serviceConnection == nullptr) return false;
    CDicValueObj request = CDicValueObj::MakeDictionary();
    request.Set("command", CDicValueObj::MakeString("getIconState"));
    request.Set("destinationState", CDicValueObj::MakeBool(false));
    request.Set("formatVersion", CDicValueObj::MakeInteger(2));
    CDicValueObj reply;
    if (!BaseService::SendMessage(phone.serviceConnection, request) ||
        !BaseService::ReceiveMessage(phone.serviceConnection, reply)) {
        return false;
    }
    entries = ParseIconState(reply);
    return reply.Array() != nullptr;
}

std::vector<IconLayoutEntry> ParseIconState(const CDicValueObj& reply) {
    std::vector<IconLayoutEntry> entries;
    TakeLayoutPages(reply, 1, entries);
    return entries;
}

bool ReadAppArtwork(CIPhone& phone, std::string& bytes) {
    // An empty file gives no image at all.
    return ReadWholeDeviceFile(phone, kAppArtworkPath, kMaxArtworkBytes, bytes) && !bytes.empty();
}

}  // namespace bw
