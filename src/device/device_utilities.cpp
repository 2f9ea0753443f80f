#include "device/device_utilities.h"

#include "device/iphone_file.h"
#include "device/iphone_operation.h"
#include "device/iphone_service.h"
#include "device/runtime.h"
#include "device/runtime_values.h"
#include "platform/process.h"

namespace bw {
namespace {

// The device-link version the host answers the device's version exchange with.
constexpr int64_t kDeviceLinkVersion = 100;
// Time the device needs to take a posted notification before the host goes on.
constexpr unsigned kNotificationPauseMs = 200;

CDicValueObj DeviceLinkMessage(std::initializer_list<CDicValueObj> items) {
    CDicValueObj message = CDicValueObj::MakeArray();
    for (const CDicValueObj& item : items)
        message.Array()->push_back(item);
    return message;
}

}  // namespace

void RestartDevice(CIPhone* phone) {
    if (phone == nullptr) return;
    if (!phone->ConnectPairAndStartSession()) return;
    phone->RequestRestart();
    phone->CloseSession();
}

bool CIPhone::ConnectPairAndStartSession() {
    DeviceOperation operation(*this);
    if (!operation) return false;
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(device) != 0) return false;
    const auto fail = [&] {
        runtime.AMDeviceDisconnect(device);
        return false;
    };
    if (runtime.AMDeviceIsPaired(device) == 1) {
        if (runtime.AMDeviceValidatePairing(device) != 0 && runtime.AMDevicePair(device) != 0) {
            return fail();
        }
    } else {
        if (runtime.AMDevicePair(device) != 0) return fail();
        if (runtime.AMDeviceValidatePairing(device) != 0 && runtime.AMDevicePair(device) != 0) {
            return fail();
        }
    }
    // A session that did not start is not stopped: there is none.
    if (runtime.AMDeviceStartSession(device) != 0) return fail();
    serviceConnection = nullptr;
    return true;
}

bool CIPhone::RequestRestart() {
    DeviceOperation operation(*this);
    if (!operation) return false;
    if (SecureStartDeviceService(device, kDiagnosticsRelayService, nullptr, &serviceConnection) !=
        0) {
        serviceConnection = nullptr;
        return false;
    }
    CDicValueObj request = CDicValueObj::MakeDictionary();
    request.Set("Request", CDicValueObj::MakeString("Restart"));
    // The device restarts without answering; a failed send is not reported.
    BaseService::SendMessage(serviceConnection, request);
    return true;
}

bool ScreenshotDataFromReply(const CDicValueObj& reply, std::string& image) {
    image.clear();
    const PlistArray* items = reply.Array();
    if (items == nullptr || items->size() < 2) return false;
    std::optional<std::string> data = (*items)[1].GetData("ScreenShotData");
    if (!data) return false;
    image = std::move(*data);
    return true;
}

bool CIPhone::TakeScreenshot(std::string& image) {
    image.clear();
    DeviceOperation operation(*this);
    if (!operation || !ConnectAndStartSession()) return false;
    serviceConnection = nullptr;
    if (SecureStartDeviceService(device, kScreenshotService, nullptr, &serviceConnection) != 0 &&
        SecureStartDeviceService(device, kScreenshotService, nullptr, &serviceConnection) != 0) {
        serviceConnection = nullptr;
        EndShortQuery();
        return false;
    }
    // The device opens with its own version exchange, which any version of ours accepts.
    CDicValueObj deviceVersion;
    const bool greeted = BaseService::ReceiveMessage(serviceConnection, deviceVersion);
    CDicValueObj ready;
    const bool exchanged =
        greeted &&
        BaseService::SendMessage(
            serviceConnection,
            DeviceLinkMessage({CDicValueObj::MakeString("DLMessageVersionExchange"),
                               CDicValueObj::MakeString("DLVersionsOk"),
                               CDicValueObj::MakeInteger(kDeviceLinkVersion)})) &&
        BaseService::ReceiveMessage(serviceConnection, ready);
    if (exchanged) {
        CDicValueObj request = CDicValueObj::MakeDictionary();
        request.Set("MessageType", CDicValueObj::MakeString("ScreenShotRequest"));
        CDicValueObj reply;
        if (BaseService::SendMessage(
                serviceConnection,
                DeviceLinkMessage(
                    {CDicValueObj::MakeString("DLMessageProcessMessage"), request})) &&
            BaseService::ReceiveMessage(serviceConnection, reply)) {
            ScreenshotDataFromReply(reply, image);
        }
    }
    // The screenshot connection is released here with the session, not kept for a later
    // CloseSession: a screenshot leaves nothing open on the device.
    CloseSession();
    return true;
}

void CIPhone::PostSyncDidFinish(CiPhoneFile& lockFile) {
    DeviceOperation operation(*this);
    if (!operation) return;
    const RuntimeTable& runtime = Runtime();
    if (lockFile.connection != nullptr && lockFile.status == 0) {
        runtime.AFCFileRefUnlock(lockFile.connection, lockFile.file);
        lockFile.Close();
    }
    const CFString name = MakeCFString(kSyncDidFinishNotification);
    runtime.AMDPostNotification(notificationProxy, name.get(), nullptr);
    platform::Sleep(kNotificationPauseMs);
}

}  // namespace bw
