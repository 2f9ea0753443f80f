#include "privacy/web_history_junk.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "backup/configure_tool.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/safari_plist.h"

namespace bw {
namespace {

constexpr char kPagesKey[] = "WebHistoryDates";
// The clean's place for a page that is no longer in the tree.
constexpr size_t kElementGone = std::numeric_limits<size_t>::max();

// The phone writes the time as decimal text ("409612345.6"); anything else reads as unknown.
double SecondsOfText(const std::string& text) {
    double seconds = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    if (error != std::errc() || stop != end || !std::isfinite(seconds)) return 0.0;
    return seconds;
}

int32_t ClampedCount(int64_t count) {
    if (count > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (count < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(count);
}

std::unique_ptr<CHistoryDataModel> MakePage(const CDicValueObj& page,
                                            const PlistDictionary& fields) {
    auto model = std::make_unique<CHistoryDataModel>();
    // The page's address is the value of its first key (an empty key on the phone).
    if (!fields.empty()) {
        if (const std::string* url = fields.front().second.String()) model->url = Utf8ToWide(*url);
    }
    model->title = Utf8ToWide(page.GetString("title").value_or(std::string()));
    model->visitCount = ClampedCount(page.GetInteger("visitCount").value_or(0));
    model->lastVisitTime = SecondsOfText(page.GetString("lastVisitedDate").value_or(std::string()));
    model->dateText = SafariDateText(model->lastVisitTime);
    return model;
}

}  // namespace

unsigned char CHistoryDataModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

CWebHistoryManage::CWebHistoryManage(std::string path, CDeviceJunk* owner,
                                     const std::atomic<uint8_t>* stop)
    : path_(std::move(path)), stop_(stop), owner_(owner) {}

bool CWebHistoryManage::Stopped() const {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed) != 0) return true;
    return owner_->StopRequested();
}

PlistArray* CWebHistoryManage::Pages() {
    PlistDictionary* top = tree_.Dictionary();
    if (top == nullptr) return nullptr;
    for (auto& [key, value] : *top) {
        if (key == kPagesKey) return value.Array();
    }
    return nullptr;
}

void CWebHistoryManage::ReadHistory() {
    if (!ReadSafariPlist(path_, tree_)) return;
    const PlistArray* pages = Pages();
    if (pages == nullptr) return;
    ResultList& list = owner_->Results(kResultSafariHistory);
    total_ = static_cast<uint32_t>(pages->size());
    processed_ = 0;
    for (size_t i = 0; i < pages->size() && !Stopped(); ++i) {
        const CDicValueObj& page = (*pages)[i];
        // Something other than a page cannot be shown; it stays in the file untouched.
        if (const PlistDictionary* fields = page.Dictionary()) {
            std::unique_ptr<CHistoryDataModel> model = MakePage(page, *fields);
            model->sequence = static_cast<int32_t>(list.size()) + 1;
            model->element = i;
            list.Append<IHistoryDataModel>(std::move(model));
            owner_->AdjustSelection(1, 0, true);
        }
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
}

void CWebHistoryManage::RemoveSelected() {
    PlistArray* pages = Pages();
    if (pages == nullptr) return;
    const ResultList& list = owner_->Results(kResultSafariHistory);
    std::vector<CHistoryDataModel*> modelOf(pages->size(), nullptr);
    for (size_t i = 0; i < list.size(); ++i) {
        CHistoryDataModel* model = list.At<CHistoryDataModel>(i);
        if (model->element < modelOf.size()) modelOf[model->element] = model;
    }

    // Only a page with an integer "ID" is one the phone keeps as history; anything else in the
    // array is left as it was, even when it was listed.
    std::vector<bool> remove(pages->size(), false);
    processed_ = 0;
    total_ = static_cast<uint32_t>(pages->size());
    for (size_t i = 0; i < pages->size() && !Stopped(); ++i) {
        const CHistoryDataModel* model = modelOf[i];
        if (model != nullptr && model->selected != 0 && (*pages)[i].GetInteger("ID").has_value()) {
            remove[i] = true;
            owner_->AdjustSelection(1, 0, false);
        }
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }

    // The records of the pages that stay follow them to their new places, so that a second clean
    // still removes what its records say.
    PlistArray kept;
    kept.reserve(pages->size());
    for (size_t i = 0; i < pages->size(); ++i) {
        if (modelOf[i] != nullptr) modelOf[i]->element = remove[i] ? kElementGone : kept.size();
        if (!remove[i]) kept.push_back(std::move((*pages)[i]));
    }
    *pages = std::move(kept);
    WriteSafariPlist(path_, tree_);
}

void CWebHistoryJunk::Scan(CIPhone* device) {
    SetBusy(1);
    device_ = device;
    ReleaseItems(kResultSafariHistory);
    manage_.reset();
    if (!StopRequested()) {
        const std::string path = CConfigureTool::Instance().CopySafariHistory();
        if (!path.empty() && platform::IsFile(path)) {
            hasWorker_.store(false);
            workerStop_.store(0);
            manage_ = std::make_unique<CWebHistoryManage>(path, this, &workerStop_);
            hasWorker_.store(true);
            SetMessage(kMessageStartScanning);
            if (!StopRequested()) manage_->ReadHistory();
        }
    }
    SetFinished();
}

void CWebHistoryJunk::Clean() {
    if (manage_ != nullptr && !Results(kResultSafariHistory).empty()) {
        SetBusy(0);
        workerStop_.store(0);
        manage_->RemoveSelected();
    }
    SetFinished();
}

void CWebHistoryJunk::Stop() {
    if (hasWorker_.load()) workerStop_.store(1);
}

}  // namespace bw
