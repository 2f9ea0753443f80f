// What the backup tool sends over the pipe: progress ("AMSBackupPercentageKey", whole numbers,
// rising), one final message without "errorCode", or an "errorCode" message; and the failures
// tests can inject through BRACKWATER_BACKUPTOOL_FAIL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/plist_tree.h"
#include "platform/pipe.h"

namespace bw::sim::backuptool {

// The tool's error codes (the library's own codes 1 and 2 are never used here).
enum ErrorCode : int {
    kErrorBadRequest = 101,        // the request does not parse or lacks a key
    kErrorUnknownDevice = 102,     // no attached device has the target identifier
    kErrorMissingBackup = 103,     // the source backup folder does not exist
    kErrorUnreadableBackup = 104,  // its manifest or one of its files cannot be read
    kErrorEncryptedBackup = 105,   // the backup is encrypted
    kErrorWriteFailed = 106,       // the backup folder or the device could not be written
    kErrorDamagedBackup = 107,     // a backup file does not match its record's size or hash
    kErrorUnrestorable = 108,      // the device cannot take the backup as it is (see restorer.h)
    kErrorInjected = 199,          // the default code of an injected error
};

// A failure a test asks for, from "KIND[:VALUE][@PERCENT]":
//   error:CODE      an "errorCode" message with CODE (default 199) instead of going on;
//   exit            the tool ends without a final message;
//   unparsable      bytes that are no property list, then the tool ends;
//   no-final        the work is done, but no final message is sent;
//   real-percent    progress values are sent as reals (the work goes on);
//   no-connect      the tool ends at once without connecting.
// The failure strikes when progress reaches PERCENT (default 0, before any work).
struct Injection {
    enum class Kind { kNone, kError, kExit, kUnparsable, kNoFinal, kRealPercent, kNoConnect };
    Kind kind = Kind::kNone;
    int code = kErrorInjected;
    int atPercent = 0;

    static Injection FromEnvironment();
    static std::optional<Injection> Parse(std::string_view text);
};

class Reporter {
  public:
    Reporter(platform::PipeConnection& pipe, Injection injection, int delayMs)
        : pipe_(pipe), injection_(injection), delayMs_(delayMs) {}

    // Reports progress; sends only when the whole percentage rose. False when the work must stop
    // (an injected failure struck, or the library went away).
    bool Progress(int percent);
    // The final message of a successful request.
    bool Finish(std::string_view requestName);
    void Fail(int code, std::string_view description);

  private:
    bool Strike();
    bool Send(DictBuilder message);

    platform::PipeConnection& pipe_;
    Injection injection_;
    int delayMs_;
    int lastPercent_ = -1;
    bool struck_ = false;
};

}  // namespace bw::sim::backuptool
