// CAbstractScan: the base of the per-application worker of the sandbox scanners. The worker does
// the long work of a scan or clean and carries its own stop flag, which the session sets from
// another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bw {

class CAppInfo;

class CAbstractScan {
  public:
    CAbstractScan() = default;
    CAbstractScan(const CAbstractScan&) = delete;
    CAbstractScan& operator=(const CAbstractScan&) = delete;
    virtual ~CAbstractScan() = default;

    // Deletes the selected files of the given application records.
    virtual void CleanApps(const std::vector<CAppInfo*>& applications) = 0;
    // Walks `folders` (container paths) of every application into `applications`.
    virtual void ScanApps(const std::vector<std::string>& folders,
                          std::vector<std::unique_ptr<CAppInfo>>& applications) = 0;

    std::atomic<uint8_t> stop{0};
};

}  // namespace bw
