// CScanDevice: the host's scan session for one device. It creates the scanner of each requested
// junk type from the junk-type table, forwards scan, clean and stop to it, and answers the result
// slots from its result lists. It finds nothing itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brackwater/scan.h"
#include "scanner/device_junk.h"

namespace bw {

class CIPhone;

// The scanner of a junk type with its class defaults, or null for a type the table does not list.
// `applications` is the session's application list, which the sandbox scanners copy.
std::unique_ptr<CDeviceJunk> CreateJunkScanner(int32_t type,
                                               const std::vector<std::u16string>& applications);

class CScanDevice : public IScanDevice {
  public:
    explicit CScanDevice(CIPhone* device);
    ~CScanDevice() override;

    void SetStatusRecord(BwScanStatus* record) override;
    void SetAppList(const BwChar* const* identifiers, int32_t count) override;
    void StartScan(int32_t type) override;
    unsigned char IsExtendedType() override;
    void StopScan() override;
    void StartClean() override;

    void* GetResult0(int32_t index) override { return ResultAt(0, index); }
    int32_t GetResultCount0() override { return ResultCount(0); }
    void* GetResult1(int32_t index) override { return ResultAt(1, index); }
    int32_t GetResultCount1() override { return ResultCount(1); }
    void* GetResult2(int32_t index) override { return ResultAt(2, index); }
    int32_t GetResultCount2() override { return ResultCount(2); }
    void* GetResult3(int32_t index) override { return ResultAt(3, index); }
    int32_t GetResultCount3() override { return ResultCount(3); }
    void* GetResult4(int32_t index) override { return ResultAt(4, index); }
    int32_t GetResultCount4() override { return ResultCount(4); }
    void* GetResult5(int32_t index) override { return ResultAt(5, index); }
    int32_t GetResultCount5() override { return ResultCount(5); }
    void* GetResult6(int32_t index) override { return ResultAt(6, index); }
    int32_t GetResultCount6() override { return ResultCount(6); }
    void* GetResult7(int32_t index) override { return ResultAt(7, index); }
    int32_t GetResultCount7() override { return ResultCount(7); }
    void* GetResult8(int32_t index) override { return ResultAt(8, index); }
    int32_t GetResultCount8() override { return ResultCount(8); }
    void* GetResult9(int32_t index) override { return ResultAt(9, index); }
    int32_t GetResultCount9() override { return ResultCount(9); }
    void* GetResult10(int32_t index) override { return ResultAt(10, index); }
    int32_t GetResultCount10() override { return ResultCount(10); }
    void* GetResult11(int32_t index) override { return ResultAt(11, index); }
    int32_t GetResultCount11() override { return ResultCount(11); }
    void* GetResult12(int32_t index) override { return ResultAt(12, index); }
    int32_t GetResultCount12() override { return ResultCount(12); }
    void* GetCookieTree() override;

    int32_t JunkType() const { return junkType_; }
    CDeviceJunk* Scanner() const { return scanner_.get(); }
    const std::vector<std::u16string>& AppList() const { return applications_; }

  private:
    void* ResultAt(size_t list, int32_t index);
    int32_t ResultCount(size_t list);

    int32_t junkType_ = 0;
    CIPhone* device_;
    std::unique_ptr<CDeviceJunk> scanner_;
    BwScanStatus* status_ = nullptr;
    std::vector<std::u16string> applications_;
    // StopScan comes from another thread while the host's thread may be replacing the scanner:
    // the swap and the stop happen under this lock, never the scan or clean itself.
    std::mutex scannerMutex_;
};

}  // namespace bw
