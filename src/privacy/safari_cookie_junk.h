// Safari's cookie file in a backup (junk type 11): read into the cookie tree that the host shows
// and marks, and on clean written again without the marked cookies and pages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "privacy/safari_cookie_models.h"
#include "scanner/device_junk.h"

namespace bw {

// Cookie files hold a few thousand cookies; one larger than this is not a cookie file.
inline constexpr uint64_t kMaxCookieFileBytes = 512ull << 20;

class CSafaricookieManage {
  public:
    // Fills `tree`; `owner` receives the counts, progress and messages.
    CSafaricookieManage(std::string path, CCookieModel& tree, CDeviceJunk* owner);
    CSafaricookieManage(const CSafaricookieManage&) = delete;
    CSafaricookieManage& operator=(const CSafaricookieManage&) = delete;

    // Reads the whole file into the tree. A file that is not cookies, or whose counts and
    // offsets do not fit its bytes, leaves the tree empty. A stop leaves the rest unread but
    // kept, so that a clean still writes it back.
    void Read();
    // Removes the pages whose keep flag is clear and the selected cookies of the others, and
    // writes the file. A failed write leaves the file and the tree as they were.
    bool Clean();

    const std::string& Path() const { return path_; }
    // Runs after each cookie is read: lets a test stop the read at a chosen cookie.
    std::function<void()> afterEachCookie;

  private:
    // The session's stop request reaches the worker through its scanner, whose flag is atomic
    // and lives as long as the worker: nothing here races a scan that is still creating it.
    bool Stopped() const { return owner_->StopRequested(); }
    void ShowProgress();
    bool Write();

    std::string path_;
    CCookieModel& tree_;
    CDeviceJunk* owner_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
};

class CSafariCookieJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;
    void* CookieTree() override { return static_cast<ICookieModel*>(&tree_); }

    CCookieModel& Tree() { return tree_; }
    CSafaricookieManage* Manage() const { return manage_.get(); }

  private:
    CCookieModel tree_;
    std::unique_ptr<CSafaricookieManage> manage_;
};

}  // namespace bw
