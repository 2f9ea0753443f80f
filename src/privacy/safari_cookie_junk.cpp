#include "privacy/safari_cookie_junk.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "backup/configure_tool.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {

CSafaricookieManage::CSafaricookieManage(std::string path, CCookieModel& tree, CDeviceJunk* owner)
    : path_(std::move(path)), tree_(tree), owner_(owner) {}

void CSafaricookieManage::ShowProgress() {
    const float percent =
        total_ == 0 ? 0.0f : static_cast<float>(processed_) / static_cast<float>(total_) * 100.0f;
    owner_->SetProgress(percent);
}

void CSafaricookieManage::Read() {
    tree_.Clear();
    std::string bytes;
    if (!platform::ReadWholeFile(path_, bytes, kMaxCookieFileBytes)) return;
    BinaryCookieFile file;
    if (!ReadBinaryCookies(bytes, file) || Stopped()) return;
    bytes = std::string();
    tree_.magic = file.magic;
    tree_.trailer = std::move(file.trailer);
    processed_ = 0;
    total_ = static_cast<uint32_t>(file.pages.size());
    size_t pageIndex = 0;
    for (; pageIndex < file.pages.size() && !Stopped(); ++pageIndex) {
        CookiePage& page = file.pages[pageIndex];
        auto model = std::make_unique<CCookiePageModel>();
        model->name = u"Page " + Utf8ToWide(std::to_string(pageIndex));
        model->header = page.header;
        model->footer = page.footer;
        model->pageSize = page.size;
        model->cookies.reserve(page.cookies.size());
        size_t cookieIndex = 0;
        for (; cookieIndex < page.cookies.size() && !Stopped(); ++cookieIndex) {
            auto cookie =
                std::make_unique<CCookieContentModel>(std::move(page.cookies[cookieIndex]));
            owner_->SetMessage(cookie->Text(kCookieName));
            owner_->AdjustSelection(1, cookie->record.size, true);
            model->cookies.push_back(std::move(cookie));
            if (afterEachCookie) afterEachCookie();
        }
        std::move(page.cookies.begin() + static_cast<std::ptrdiff_t>(cookieIndex),
                  page.cookies.end(), std::back_inserter(model->unread));
        tree_.pages.push_back(std::move(model));
        ++processed_;
        ShowProgress();
    }
    std::move(file.pages.begin() + static_cast<std::ptrdiff_t>(pageIndex), file.pages.end(),
              std::back_inserter(tree_.unreadPages));
}

bool CSafaricookieManage::Clean() {
    if (tree_.CookieCount() == 0) return false;
    processed_ = 0;
    total_ = static_cast<uint32_t>(tree_.pages.size());
    // First decide, then write, then change the tree: a write that fails leaves the tree
    // describing the file that is still on disk.
    std::vector<uint8_t> dropPage(tree_.pages.size(), 0);
    std::vector<std::vector<uint8_t>> dropCookie;
    dropCookie.reserve(tree_.pages.size());
    for (const auto& page : tree_.pages)
        dropCookie.emplace_back(page->cookies.size(), 0);
    for (size_t p = 0; p < tree_.pages.size() && !Stopped(); ++p) {
        const CCookiePageModel& page = *tree_.pages[p];
        if (page.keep == 0) {
            dropPage[p] = 1;
        } else {
            for (size_t c = 0; c < page.cookies.size(); ++c) {
                if (page.cookies[c]->selected == 0) continue;
                owner_->SetMessage(page.cookies[c]->Text(kCookieName));
                dropCookie[p][c] = 1;
            }
        }
        ++processed_;
        ShowProgress();
    }

    std::vector<CookiePageView> views;
    views.reserve(tree_.pages.size() + tree_.unreadPages.size());
    for (size_t p = 0; p < tree_.pages.size(); ++p) {
        if (dropPage[p] != 0) continue;
        const CCookiePageModel& page = *tree_.pages[p];
        CookiePageView& view = views.emplace_back();
        view.header = &page.header;
        view.footer = &page.footer;
        view.cookies.reserve(page.cookies.size() + page.unread.size());
        for (size_t c = 0; c < page.cookies.size(); ++c) {
            if (dropCookie[p][c] == 0) view.cookies.push_back(&page.cookies[c]->record);
        }
        for (const CookieRecord& record : page.unread)
            view.cookies.push_back(&record);
    }
    for (const CookiePage& page : tree_.unreadPages) {
        CookiePageView& view = views.emplace_back();
        view.header = &page.header;
        view.footer = &page.footer;
        for (const CookieRecord& record : page.cookies)
            view.cookies.push_back(&record);
    }
    if (!platform::WriteFileAtomic(path_, WriteBinaryCookies(tree_.magic, views, tree_.trailer)))
        return false;

    std::vector<std::unique_ptr<CCookiePageModel>> kept;
    kept.reserve(tree_.pages.size());
    for (size_t p = 0; p < tree_.pages.size(); ++p) {
        std::unique_ptr<CCookiePageModel>& page = tree_.pages[p];
        if (dropPage[p] != 0) {
            tree_.total -= page->pageSize;
            continue;
        }
        std::vector<std::unique_ptr<CCookieContentModel>> cookies;
        cookies.reserve(page->cookies.size());
        for (size_t c = 0; c < page->cookies.size(); ++c) {
            if (dropCookie[p][c] == 0) {
                cookies.push_back(std::move(page->cookies[c]));
            } else {
                owner_->AdjustSelection(1, page->cookies[c]->record.size, false);
            }
        }
        page->cookies = std::move(cookies);
        kept.push_back(std::move(page));
    }
    tree_.pages = std::move(kept);
    // The tree now shows where its cookies lie in the file that was written.
    for (std::unique_ptr<CCookiePageModel>& page : tree_.pages) {
        CookiePageView view;
        uint32_t offset = static_cast<uint32_t>(kCookiePageOverhead +
                                                4 * (page->cookies.size() + page->unread.size()));
        for (std::unique_ptr<CCookieContentModel>& cookie : page->cookies) {
            cookie->record.offset = offset;
            offset += cookie->record.size;
            view.cookies.push_back(&cookie->record);
        }
        for (const CookieRecord& record : page->unread)
            view.cookies.push_back(&record);
        page->pageSize = WrittenPageSize(view);
    }
    return true;
}

void CSafariCookieJunk::Scan(CIPhone* device) {
    SetBusy(1);
    device_ = device;
    manage_.reset();
    tree_.Clear();
    std::string path;
    if (!StopRequested()) path = CConfigureTool::Instance().CopySafariCookies();
    if (!path.empty() && platform::IsFile(path)) {
        manage_ = std::make_unique<CSafaricookieManage>(path, tree_, this);
        SetMessage(kMessageStartScanning);
        if (!StopRequested()) manage_->Read();
    }
    SetFinished();
}

void CSafariCookieJunk::Clean() {
    if (manage_ != nullptr) manage_->Clean();
    SetFinished();
}

}  // namespace bw
