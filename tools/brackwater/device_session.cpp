#include "device_session.h"

#include <chrono>
#include <thread>

#include "text.h"

namespace cli {

DeviceSession::~DeviceSession() {
    if (listener_ != nullptr) {
        listener_->StopListening();
        ConnectListenerDelete();
    }
}

std::string NoDeviceText(const Arguments& args) {
    // The simulated device is attached when its image is ready, so with --sim an empty list means
    // the image was detached or could not be served.
    if (args.sim || args.wire) return "no device found: the simulated device is not attached";
    return "no device found: connect a device (unlocked, and trusting this computer), or use --sim";
}

bool DeviceSession::Start(const Arguments& args, int seconds, std::string& error) {
    if (args.sim && !simulator_.Prepare(*args.sim, error)) return false;
    if (args.wire && !simulator_.PrepareWire(*args.wire, error)) return false;
    if (!args.sim && !args.wire && !simulator_.PrepareDefault(error)) return false;
    listener_ = ConnectListenerNew(args.afc2 ? 1 : 0, 1);
    if (listener_ == nullptr) {
        error = "cannot create the device listener";
        return false;
    }
    listener_->StartListening();
    if (!listener_->IsListening()) {
        error = "cannot listen for devices: is the device runtime installed? (try --sim)";
        return false;
    }
    CIPhone* first = nullptr;
    listener_->WaitForDevice(seconds, &first);
    return true;
}

std::vector<CIPhone*> DeviceSession::Devices() {
    DeviceList list;
    if (listener_ != nullptr) listener_->CopyDeviceList(list, 1);
    return {list.begin(), list.end()};
}

void DeviceSession::SetCallback(DeviceCallback callback, void* context) {
    if (listener_ != nullptr) listener_->SetCallback(callback, context);
}

CIPhone* DeviceSession::Open(const Arguments& args, std::string& error, int seconds) {
    return Start(args, seconds, error) ? Choose(args, error) : nullptr;
}

CIPhone* DeviceSession::Choose(const Arguments& args, std::string& error) {
    CIPhone* chosen = nullptr;
    const std::vector<CIPhone*> devices = Devices();
    if (devices.empty()) {
        error = NoDeviceText(args);
        return nullptr;
    }
    if (!args.udid.empty()) {
        for (CIPhone* device : devices) {
            if (DeviceText(device, "UniqueDeviceID") == args.udid) chosen = device;
        }
        if (chosen == nullptr) {
            error = "no device with UDID " + args.udid;
            return nullptr;
        }
    } else if (devices.size() > 1) {
        error = std::to_string(devices.size()) + " devices found: choose one with --udid";
        return nullptr;
    } else {
        chosen = devices.front();
    }
    if (args.afc2) {
        CIPhone* whole = BrackwaterDeviceFullFileSystem(chosen);
        if (whole == nullptr) {
            error = "the device does not offer its whole file system (\"com.apple.afc2\")";
            return nullptr;
        }
        return whole;
    }
    return chosen;
}

std::string DeviceText(CIPhone* device, const char* key) {
    const std::u16string wideKey = ToWide(key);
    return TwoCallText([&](char16_t* buffer) {
        return BrackwaterDeviceValue(device, nullptr, wideKey.c_str(), buffer);
    });
}

}  // namespace cli
