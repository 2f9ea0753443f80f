// The backup tool stand-in: AppleMobileBackup.exe --pipe NAME. It connects to the library's
// named pipe, reads one request (a backup or a restore) and does the work on the simulated
// device's image, reporting progress, then a final message or an "errorCode" message.
#include <cstdio>
#include <cstring>
#include <string>

#include "backup_writer.h"
#include "common/plist_file.h"
#include "common/plist_input_check.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "restorer.h"
#include "tool_messages.h"

namespace bw::sim::backuptool {
namespace {

// How long the tool waits for the library: for the pipe (the library creates it before it
// starts the tool) and for the request (written as soon as the tool is connected).
constexpr int kConnectTimeoutMs = 5000;
constexpr int kRequestTimeoutMs = 30000;

struct Request {
    std::string kind;  // "AMSBackupRequest" or "AMSRestoreWithApplicationsRequest"
    std::string target;
    std::string source;
};

std::string StringOf(plist_t dict, std::string_view key) {
    return StringValue(DictItem(dict, key));
}

// Where the library keeps backups: the roaming application-data folder, as it finds it.
std::string BackupRoot() {
    return platform::JoinPath(platform::RoamingAppDataFolder(), "Apple Computer/MobileSync/Backup");
}

// A name that stays one folder inside the backup root.
bool IsPlainFolderName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

ToolResult ParseRequest(const std::string& text, Request& request) {
    const PlistTree plist = ParseCheckedPlist(text);
    if (plist == nullptr || plist_get_node_type(plist.get()) != PLIST_DICT)
        return ToolResult::Error(kErrorBadRequest, "the request is no property-list dictionary");
    request.kind = StringOf(plist.get(), "AMSRequestKey");
    request.target = StringOf(plist.get(), "AMSTargetIdentifierKey");
    request.source = StringOf(plist.get(), "AMSSourceTargetIdentifierKey");
    if (request.kind != "AMSBackupRequest" && request.kind != "AMSRestoreWithApplicationsRequest")
        return ToolResult::Error(kErrorBadRequest, "unknown request \"" + request.kind + "\"");
    if (!IsPlainFolderName(request.target))
        return ToolResult::Error(kErrorBadRequest, "no usable AMSTargetIdentifierKey");
    if (request.kind != "AMSBackupRequest" && !IsPlainFolderName(request.source))
        return ToolResult::Error(kErrorBadRequest, "no usable AMSSourceTargetIdentifierKey");
    return ToolResult::Ok();
}

ToolResult Serve(const Request& request, Reporter& reporter, bool& stopped) {
    const std::optional<DeviceImage> image = FindDeviceImage(request.target);
    if (!image) {
        return ToolResult::Error(kErrorUnknownDevice,
                                 "no attached device has the identifier " + request.target);
    }
    const std::string root = BackupRoot();
    if (request.kind == "AMSBackupRequest")
        return WriteBackup(*image, root, request.target, reporter, stopped);
    return RestoreBackup(*image, platform::JoinPath(root, request.source), reporter, stopped);
}

int Run(const std::string& pipeName) {
    const Injection injection = Injection::FromEnvironment();
    if (injection.kind == Injection::Kind::kNoConnect) return 3;
    std::string error;
    std::unique_ptr<platform::PipeConnection> pipe =
        platform::ConnectPipe(pipeName, kConnectTimeoutMs, error);
    if (pipe == nullptr) {
        std::fprintf(stderr, "backup tool: %s: %s\n", pipeName.c_str(), error.c_str());
        return 1;
    }
    const std::optional<std::string> text = pipe->Read(kRequestTimeoutMs);
    if (!text) {
        std::fprintf(stderr, "backup tool: no request arrived\n");
        return 1;
    }
    const int delayMs =
        std::atoi(platform::GetEnv("BRACKWATER_BACKUPTOOL_DELAY_MS").value_or("0").c_str());
    Reporter reporter(*pipe, injection, delayMs);

    Request request;
    ToolResult result = ParseRequest(*text, request);
    bool stopped = false;
    if (result.errorCode == 0) result = Serve(request, reporter, stopped);
    if (stopped) return 1;
    if (result.errorCode != 0) {
        reporter.Fail(result.errorCode, result.description);
        return 1;
    }
    return reporter.Finish(request.kind) ? 0 : 1;
}

}  // namespace
}  // namespace bw::sim::backuptool

int main(int argc, char** argv) {
    std::string pipeName;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pipe") == 0 && i + 1 < argc) {
            pipeName = argv[++i];
        } else if (std::strncmp(argv[i], "--pipe=", 7) == 0) {
            pipeName = argv[i] + 7;
        }
    }
    if (pipeName.empty()) {
        std::fprintf(stderr, "usage: AppleMobileBackup.exe --pipe NAME\n");
        return 2;
    }
    return bw::sim::backuptool::Run(pipeName);
}
