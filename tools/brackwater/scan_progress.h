// The progress of a scan session's long work on standard error, Ctrl-C passed on to the session,
// and the two-call text getter of the result records: shared by the junk and privacy commands.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "brackwater/scan.h"
#include "text.h"

namespace cli {

inline std::atomic<bool> g_interrupted{false};

extern "C" inline void OnInterrupt(int) {
    g_interrupted = true;
}

// Draws the status record on standard error while the library works, when that is a terminal,
// and passes Ctrl-C on to the session.
class ProgressWatch {
  public:
    ProgressWatch(IScanDevice* session, const BwScanStatus& status)
        : session_(session), status_(status), draw_(::isatty(STDERR_FILENO) == 1) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ProgressWatch() {
        done_ = true;
        thread_.join();
        if (draw_) std::fprintf(stderr, "\r\033[K");
    }

  private:
    void Run() {
        bool stopped = false;
        while (!done_) {
            if (g_interrupted && !stopped) {
                session_->StopScan();
                stopped = true;
            }
            if (draw_) Draw();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    void Draw() const {
        // Plain loads of a record another thread writes: a torn value only shows for 100 ms.
        const double percent = std::clamp(status_.progress, 0.0, 100.0);
        const int filled = static_cast<int>(percent / 5.0);
        std::u16string message(
            status_.message,
            std::find(status_.message, status_.message + BW_SCAN_MESSAGE_CHARS, u'\0'));
        std::string text = Printable(ToUtf8(message));
        if (text.size() > 40) text.resize(40);
        std::fprintf(stderr, "\r\033[K[%-20s] %5.1f%%  %u items  %s  %s",
                     std::string(static_cast<size_t>(filled), '#').c_str(), percent,
                     status_.selectedCount, Size(status_.selectedSize).c_str(), text.c_str());
        std::fflush(stderr);
    }

    IScanDevice* session_;
    const BwScanStatus& status_;
    const bool draw_;
    std::atomic<bool> done_{false};
    std::thread thread_;

  public:
    static std::string Size(uint64_t bytes) {
        char text[32];
        if (bytes < 1024) {
            std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
        } else if (bytes < 1024 * 1024) {
            std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024);
        } else {
            std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576);
        }
        return text;
    }
};

}  // namespace cli
