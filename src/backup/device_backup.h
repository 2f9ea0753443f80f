// CDeviceBackUp: one backup or restore through Apple's backup tool. The library opens the pipe
// "MobileBackUp", starts the tool hidden with "--pipe \\.\pipe\MobileBackUp", sends it one
// request as an XML property list and turns the tool's messages into the host's BackupStatus.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "brackwater/backup.h"

namespace bw {

inline constexpr char kBackupPipeName[] = "MobileBackUp";
inline constexpr char kBackupToolCommandLine[] = "--pipe \\\\.\\pipe\\MobileBackUp";
inline constexpr char kBackupToolName[] = "AppleMobileBackup.exe";
inline constexpr char kToolStartFailedMessage[] = "AppleMobileBackup.exe can't Startup";
inline constexpr int kPipeAvailableWaitMs = 5000;
// How long a started tool may take to connect to the pipe. The tool connects at once; a tool
// that neither connects nor ends within this time is treated as a failed connection.
inline constexpr int kToolConnectWaitMs = 60000;

inline constexpr int32_t kBackupErrorToolNotStarted = 1;
inline constexpr int32_t kBackupErrorPipeFailed = 2;

// The settings of the run, one set per process: a second CDeviceBackUp replaces the first's.
struct BackupRunSettings {
    std::u16string targetIdentifier;
    std::u16string sourceIdentifier;
    int32_t mode = kBackupModeBackup;
    bool restoreFromCopy = false;
    ::BackupStatus* status = nullptr;
};

// The request for the run's mode as the UTF-8 bytes written to the pipe. Identifiers are
// inserted as they are, without XML escaping, as the tool expects them.
std::string BuildBackupRequest(std::u16string_view target);
std::string BuildRestoreRequest(std::u16string_view target, std::u16string_view source,
                                bool restoreFromCopy);
std::string BuildRequest(const BackupRunSettings& settings);

// What one message from the tool means for the exchange.
struct ToolMessage {
    enum Kind { kProgress, kError, kEnd };
    Kind kind = kEnd;
    double percent = 0;     // kProgress: the integer percentage, 0 for a value of another type
    int32_t errorCode = 0;  // kError
};
ToolMessage ParseToolMessage(std::string_view bytes);

// The host's status record, written field by field; every operation accepts a null record.
class BackupStatusWriter {
  public:
    explicit BackupStatusWriter(::BackupStatus* status) : status_(status) {}
    // Texts that do not fit with their terminating zero leave the previous text in place.
    void SetMessage(std::u16string_view text);
    void ClearMessage() { SetMessage(u""); }
    void SetPercent(double percent);
    void Fail(int32_t errorCode);
    // Last of every run: published after every other field.
    void Finish();

  private:
    ::BackupStatus* status_;
};

// The last component of a folder path (after the last "\" or "/"); trailing separators are
// ignored.
std::u16string SourceIdentifierOf(std::u16string_view folder);

class CDeviceBackUp : public ::IDeviceBackUp {
  public:
    CDeviceBackUp(std::u16string targetIdentifier, int32_t mode, bool restoreFromCopy,
                  std::u16string backupFolder);
    ~CDeviceBackUp() override = default;

    void SetStatus(::BackupStatus* status) override;
    void Start() override;

    const std::u16string& BackupFolder() const { return backupFolder_; }

  private:
    std::u16string backupFolder_;
};

// The process-wide run settings (tests read them back).
BackupRunSettings& RunSettings();

}  // namespace bw
