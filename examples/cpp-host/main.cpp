// cpp-host: lists the connected devices and scans the first one for crash logs, through the
// connection listener, the device information object and a scan session. Exit status 0 only when
// a device was found and its scan ran to the end.
#include <brackwater/brackwater.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// UTF-16 from the library to UTF-8 for the terminal; a lone surrogate becomes U+FFFD.
std::string Utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A text getter of a scan record: the first call (null buffer) tells the size in characters.
template <typename Record>
std::string RecordText(Record* record, size_t (Record::*getter)(BwChar*)) {
    const size_t size = (record->*getter)(nullptr);
    if (size < 2) return {};
    std::u16string text(size, u'\0');
    (record->*getter)(text.data());
    text.resize(std::char_traits<char16_t>::length(text.c_str()));
    return Utf8(text);
}

// A lockdown value of the device, by the two-call rule: the first call gives the size, so a value
// of any length fits. (The information object's own getter copies without a size.)
std::string DeviceValue(IDeviceInfo* info, const char16_t* key) {
    const size_t size = BrackwaterDeviceInfoValue(info, key, nullptr);
    if (size == 0) return {};
    std::vector<BwChar> buffer(size, 0);
    if (BrackwaterDeviceInfoValue(info, key, buffer.data()) != size) return {};
    return Utf8(buffer.data());
}

}  // namespace

int main() {
    IConnectListener* listener = ConnectListenerNew(0, 1);
    if (listener == nullptr) {
        std::fprintf(stderr, "cpp-host: cannot create the device listener\n");
        return 1;
    }
    listener->StartListening();
    if (!listener->IsListening()) {
        std::fprintf(stderr, "cpp-host: cannot listen for devices (is BRACKWATER_REGISTRY set?)\n");
        ConnectListenerDelete();
        return 1;
    }
    CIPhone* first = nullptr;
    listener->WaitForDevice(10, &first);
    DeviceList devices;
    listener->CopyDeviceList(devices, 1);
    std::printf("devices: %zu\n", devices.size());
    for (CIPhone* device : devices) {
        IDeviceInfo* info = CDeviceInfoNew(device);
        if (info == nullptr) continue;
        std::printf("device: %s (%s, iOS %s) %s\n", DeviceValue(info, u"DeviceName").c_str(),
                    DeviceValue(info, u"ProductType").c_str(),
                    DeviceValue(info, u"ProductVersion").c_str(),
                    DeviceValue(info, u"UniqueDeviceID").c_str());
        CDeviceInfoDelete(info);
    }

    int status = 1;
    if (devices.empty()) {
        std::fprintf(stderr, "cpp-host: no device found\n");
    } else if (IScanDevice* session = ScanDeviceNew(devices.front())) {
        BwScanStatus record{};
        session->SetStatusRecord(&record);
        session->StartScan(kJunkCrashLogs);  // blocks until the scan has ended
        const int32_t count = session->GetResultCount0();
        std::printf("crash logs: %d found, %llu bytes\n", count,
                    static_cast<unsigned long long>(record.selectedSize));
        for (int32_t i = 0; i < count; ++i) {
            auto* file = static_cast<IScanFileInfo*>(session->GetResult0(i));
            if (file == nullptr) continue;
            std::printf("  %10llu  %s\n", static_cast<unsigned long long>(file->GetSize()),
                        RecordText(file, &IScanFileInfo::GetPath).c_str());
        }
        if (record.finished == 1) {
            status = 0;
        } else {
            std::fprintf(stderr, "cpp-host: the scan did not finish\n");
        }
        ScanDeviceDelete(session);
    } else {
        std::fprintf(stderr, "cpp-host: cannot start a scan session\n");
    }
    listener->StopListening();
    ConnectListenerDelete();
    return status;
}
