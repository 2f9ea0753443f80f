// A seam for failure tests: makes the Nth mutating file call of the platform layer fail, so a
// test can walk every write, sync, rename and removal of an operation and check what each failure
// leaves on disk. Unset, each call costs one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace bw::platform {

// The calls that change the file system; reads and stats are never counted.
enum class FileCall : uint8_t {
    kCreate,      // creating or opening a file for writing
    kWrite,       // one write of bytes
    kSync,        // flushing a file or a folder to the disk
    kRename,      // renaming a file or folder
    kRemove,      // removing a file or an empty folder
    kMakeFolder,  // creating a folder
};

std::string_view FileCallName(FileCall call);

enum class FileFault : uint8_t {
    kNatural,     // what that call typically suffers: a write half done then a full disk, EIO else
    kIoError,     // EIO
    kNoSpace,     // ENOSPC
    kShortWrite,  // a write puts part of its bytes down and then reports ENOSPC; other calls EIO
};

struct FileFaultPlan {
    // The call that fails, counted from 1 since the plan was set; 0 counts without failing.
    uint64_t failAt = 0;
    FileFault fault = FileFault::kNatural;
    // Called just before the failing call, with the process still in the state before it (a test
    // may end the process here to stand for a crash).
    std::function<void(FileCall)> beforeFailing;
};

struct FileFaultReport {
    uint64_t calls = 0;  // mutating calls seen since the plan was set
    bool hit = false;    // the planned call was reached and failed
    FileCall hitCall = FileCall::kCreate;
    std::vector<FileCall> log;  // every call seen, in order
};

// Sets the plan for the whole process and starts counting from zero.
void SetFileFaults(FileFaultPlan plan);
// Removes the plan and reports what it saw.
FileFaultReport ClearFileFaults();

namespace file_faults {

// The error a call must report instead of doing its work (0: go ahead), and for a short write
// how many of its bytes it may still write first.
struct Injected {
    int error = 0;
    bool shortWrite = false;
};

extern std::atomic<bool> gArmed;
Injected NextSlow(FileCall call);

// Every mutating call of the platform's POSIX code asks this first.
inline Injected Next(FileCall call) {
    if (!gArmed.load(std::memory_order_relaxed)) return {};
    return NextSlow(call);
}

}  // namespace file_faults
}  // namespace bw::platform
