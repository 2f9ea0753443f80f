// The radio listening history: the radio database is copied to the computer, its history rows are
// listed, the selected rows are deleted from the copy, and the copy is written back to the device.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "brackwater/scan.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class CRadioHistoryModel : public IRadioHistoryModel {
  public:
    size_t GetAlbum(BwChar* buffer) override { return CopyTextOut(album, buffer); }
    size_t GetArtist(BwChar* buffer) override { return CopyTextOut(artist, buffer); }
    double GetDate() override { return date; }
    int32_t GetHistoryKey() override { return historyKey; }
    unsigned char Select(unsigned char toggle) override;
    size_t GetStationName(BwChar* buffer) override { return CopyTextOut(stationName, buffer); }
    double GetTrackStoreId() override { return trackStoreId; }
    size_t GetTitle(BwChar* buffer) override { return CopyTextOut(title, buffer); }
    int32_t GetTrackKey() override { return trackKey; }

    std::u16string album;
    std::u16string artist;
    double date = 0.0;
    int32_t historyKey = 0;
    uint8_t selected = 1;
    std::u16string stationName;
    double trackStoreId = 0.0;
    std::u16string title;
    int32_t trackKey = 0;
};

// The radio database files on the device, in the order they are copied and written back.
inline constexpr std::array<const char*, 3> kRadioDeviceFiles = {
    "/Radio/Radio.db", "/Radio/Radio.db-shm", "/Radio/Radio.db-wal"};

class CRadioTempJunk : public CDeviceJunk {
  public:
    CRadioTempJunk() = default;
    // The working folder goes with the scanner: nothing of the device stays on the computer.
    ~CRadioTempJunk() override;

    void Scan(CIPhone* device) override;
    void Clean() override;

    // Lists the history rows of a local copy of the radio database into result list 1; false
    // when it cannot be opened. The file is the device's, so any bytes may arrive here.
    bool ReadHistory(const std::string& database);

    // The local copies of the three files (empty before the first scan).
    std::array<std::string, 3> localPaths;

  private:
    void RemoveWorkingFolder();

    std::string workingFolder_;
};

}  // namespace bw
