// The run of the backup tool: a worker that starts the pipe and the tool, a pipe thread that
// waits for the tool and sends the request, and a reader thread that follows the tool's messages
// into the host's status record.
#include "backup/device_backup.h"

#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "device/device_identifier.h"
#include "device/host_utils.h"
#include "platform/debug_output.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/text.h"

namespace bw {
namespace {

// What the three threads of one run share. The tool's process handle arrives from the worker
// while the pipe thread is already waiting for the tool to connect.
struct BackupRun {
    BackupRunSettings settings;
    BackupStatusWriter status{nullptr};
    std::unique_ptr<platform::PipeServer> pipe;
    std::mutex childMutex;
    std::unique_ptr<platform::ChildProcess> child;
    bool toolStartFailed = false;

    // False once the tool is known to have ended (or never started).
    bool ToolMayStillConnect() {
        std::lock_guard<std::mutex> lock(childMutex);
        if (toolStartFailed) return false;
        return child == nullptr || child->IsRunning();
    }
};

void DebugOutput(const std::string& text) {
    platform::DebugOutput("backup: " + text);
}

void EndExchange(const std::shared_ptr<BackupRun>& run) {
    run->pipe->Disconnect();
    run->pipe->Close();
    run->status.Finish();
}

void ReaderThread(std::shared_ptr<BackupRun> run) {
    run->status.ClearMessage();
    for (;;) {
        // A read wakes up now and then to notice a tool that ended without a final message (a
        // crash), which would otherwise leave the run waiting for ever.
        std::optional<std::string> bytes = run->pipe->Read(500);
        if (!bytes) {
            if (run->ToolMayStillConnect()) {
                // A peer that closed its end makes reads return at once.
                platform::Sleep(50);
                continue;
            }
            bytes = run->pipe->Read(0);  // what the tool wrote just before it ended
            if (!bytes) {
                // The tool went away before its final message: the run did not complete, and
                // the host must not take it for a success. The error code says so; a line of
                // our own here would only repeat what the host shows.
                run->status.ClearMessage();
                run->status.Fail(kBackupErrorPipeFailed);
                break;
            }
        }
        if (bytes->empty()) continue;
        const ToolMessage message = ParseToolMessage(*bytes);
        if (message.kind == ToolMessage::kProgress) {
            run->status.SetPercent(message.percent);
            continue;
        }
        if (message.kind == ToolMessage::kError) run->status.Fail(message.errorCode);
        run->status.ClearMessage();
        break;
    }
    EndExchange(run);
}

void PipeThread(std::shared_ptr<BackupRun> run) {
    bool connected = false;
    for (int waited = 0; waited < kToolConnectWaitMs && !connected; waited += 200) {
        connected = run->pipe->WaitForClient(200);
        if (!connected && !run->ToolMayStillConnect()) break;
    }
    if (!connected) {
        // A tool that could not be started was reported by the worker already.
        bool startFailed;
        {
            std::lock_guard<std::mutex> lock(run->childMutex);
            startFailed = run->toolStartFailed;
        }
        if (!startFailed) {
            run->status.Fail(kBackupErrorPipeFailed);
            run->status.ClearMessage();
        }
        EndExchange(run);
        return;
    }
    const std::string request = BuildRequest(run->settings);
    if (request.empty()) {
        EndExchange(run);
        return;
    }
    run->status.ClearMessage();
    if (!run->pipe->Write(request)) DebugOutput("the request could not be written");
    std::thread(ReaderThread, std::move(run)).detach();
}

void FailToolStart(const std::shared_ptr<BackupRun>& run) {
    run->status.SetMessage(Utf8ToWide(kToolStartFailedMessage));
    run->status.Fail(kBackupErrorToolNotStarted);
}

void WorkerThread(std::shared_ptr<BackupRun> run) {
    // Every mode but backup sends the restore request, so every such mode shows the restore
    // text too.
    run->status.SetMessage(run->settings.mode == kBackupModeBackup ? u"Start Backup..."
                                                                   : u"Start Restore");
    const std::string tool = GetBackupToolPath();
    if (tool.empty()) {
        FailToolStart(run);
        run->status.Finish();
        return;
    }
    KillProcess(tool.substr(tool.find_last_of("/\\") + 1));

    std::string error;
    run->pipe = platform::PipeServer::Create(kBackupPipeName, error);
    if (!run->pipe) {
        DebugOutput("the pipe could not be created: " + error);
        FailToolStart(run);
        run->status.Finish();
        return;
    }
    std::thread pipeThread(PipeThread, run);
    std::unique_ptr<platform::ChildProcess> child;
    if (platform::WaitForPipe(kBackupPipeName, kPipeAvailableWaitMs)) {
        child = platform::StartHidden(tool, kBackupToolCommandLine, error);
        if (!child) DebugOutput("the backup tool could not be started: " + error);
    }
    // The failure is in the record before the pipe thread may see it and finish the run.
    if (child == nullptr) FailToolStart(run);
    {
        std::lock_guard<std::mutex> lock(run->childMutex);
        run->toolStartFailed = child == nullptr;
        run->child = std::move(child);
    }
    pipeThread.detach();
}

}  // namespace

BackupRunSettings& RunSettings() {
    static BackupRunSettings* settings = new BackupRunSettings();
    return *settings;
}

CDeviceBackUp::CDeviceBackUp(std::u16string targetIdentifier, int32_t mode, bool restoreFromCopy,
                             std::u16string backupFolder)
    : backupFolder_(std::move(backupFolder)) {
    BackupRunSettings& settings = RunSettings();
    settings.targetIdentifier = std::move(targetIdentifier);
    settings.mode = mode;
    settings.restoreFromCopy = restoreFromCopy;
    if (!backupFolder_.empty()) settings.sourceIdentifier = SourceIdentifierOf(backupFolder_);
}

void CDeviceBackUp::SetStatus(::BackupStatus* status) {
    RunSettings().status = status;
}

void CDeviceBackUp::Start() {
    const BackupRunSettings& settings = RunSettings();
    // The backup tool makes a folder of the target identifier's name in the backup root.
    if (!IsDeviceIdentifier(WideToUtf8(settings.targetIdentifier))) return;
    auto run = std::make_shared<BackupRun>();
    run->settings = settings;
    run->status = BackupStatusWriter(settings.status);
    std::thread(WorkerThread, std::move(run)).detach();
}

}  // namespace bw
