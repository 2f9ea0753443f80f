#include "privacy/suspend_page_junk.h"

#include <utility>

#include "backup/configure_tool.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/safari_plist.h"

namespace bw {
namespace {

constexpr char kDocumentsKey[] = "SafariStateDocuments";
constexpr char kUuidKey[] = "SafariStateDocumentUUID";
constexpr char kBackForwardKey[] = "SafariStateDocumentBackForwardList";
constexpr char kEntriesKey[] = "entries";

// The value of `key` in a dictionary, changeable in place; null when absent.
CDicValueObj* FindEntry(CDicValueObj& dictionary, std::string_view key) {
    PlistDictionary* fields = dictionary.Dictionary();
    if (fields == nullptr) return nullptr;
    for (auto& [name, value] : *fields) {
        if (name == key) return &value;
    }
    return nullptr;
}

PlistArray* EntriesOf(CDicValueObj& document) {
    CDicValueObj* list = FindEntry(document, kBackForwardKey);
    CDicValueObj* entries = list != nullptr ? FindEntry(*list, kEntriesKey) : nullptr;
    return entries != nullptr ? entries->Array() : nullptr;
}

std::u16string TextOf(const CDicValueObj& dictionary, std::string_view key) {
    return Utf8ToWide(dictionary.GetString(key).value_or(std::string()));
}

std::unique_ptr<CPageEntriesList> MakeEntry(const CDicValueObj& entry,
                                            const PlistDictionary& fields) {
    auto model = std::make_unique<CPageEntriesList>();
    std::string url;
    // The page's address is the value of its first key (an empty key on the phone).
    if (!fields.empty()) {
        if (const std::string* text = fields.front().second.String()) url = *text;
    }
    const std::string title = entry.GetString("title").value_or(std::string());
    model->url = Utf8ToWide(url);
    model->title = Utf8ToWide(title);
    model->scaleIsInitial = entry.GetBool("scaleIsInitial").value_or(false) ? 1 : 0;
    // What the entry's texts take in the file, which is what removing it saves.
    model->size = url.size() + title.size();
    model->element = entry;
    return model;
}

}  // namespace

unsigned char CPageEntriesList::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

unsigned char CSuspendStateModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

IPageEntriesList* CSuspendStateModel::GetEntry(int32_t index) {
    return ItemAt<IPageEntriesList>(entries, index);
}

CSuspendStateManage::CSuspendStateManage(std::string path, CDeviceJunk* owner)
    : path_(std::move(path)), owner_(owner) {}

PlistArray* CSuspendStateManage::Documents() {
    CDicValueObj* documents = FindEntry(tree_, kDocumentsKey);
    return documents != nullptr ? documents->Array() : nullptr;
}

void CSuspendStateManage::ReadTabs() {
    if (!ReadSafariPlist(path_, tree_)) return;
    PlistArray* documents = Documents();
    if (documents == nullptr) return;
    ResultList& list = owner_->Results(kResultSafariTabs);
    total_ = static_cast<uint32_t>(documents->size());
    processed_ = 0;
    for (CDicValueObj& document : *documents) {
        if (owner_->StopRequested()) break;
        ++processed_;
        if (document.Dictionary() == nullptr) continue;
        auto tab = std::make_unique<CSuspendStateModel>();
        tab->lastViewedTime = document.GetReal("SafariStateDocumentLastViewedTime").value_or(0.0);
        tab->dateText = SafariDateText(tab->lastViewedTime);
        tab->title = TextOf(document, "SafariStateDocumentTitle");
        owner_->SetMessage(tab->title);
        tab->url = TextOf(document, "SafariStateDocumentURL");
        tab->userVisibleUrl = TextOf(document, "SafariStateDocumentUserVisibleURL");
        if (std::optional<std::string> uuid = document.GetString(kUuidKey)) {
            tab->uuidUtf8 = *uuid;
            tab->uuid = Utf8ToWide(*uuid);
            tab->hasUuid = true;
        }
        if (const PlistArray* entries = EntriesOf(document)) {
            for (const CDicValueObj& entry : *entries) {
                const PlistDictionary* fields = entry.Dictionary();
                if (fields == nullptr) continue;
                std::unique_ptr<CPageEntriesList> page = MakeEntry(entry, *fields);
                owner_->AdjustSelection(1, page->size, true);
                tab->totalSize += page->size;
                tab->entries.push_back(std::move(page));
            }
        }
        list.Append<ISuspendStateModel>(std::move(tab));
        owner_->PublishProgress(processed_, total_);
    }
}

// Removes the entries of `document` that belong to `tab` and are selected. An entry that another
// tab listed (two tabs with one identifier) is not this tab's to remove.
void CSuspendStateManage::RemoveEntries(CSuspendStateModel& tab, CDicValueObj& document) {
    PlistArray* entries = EntriesOf(document);
    if (entries == nullptr) return;
    PlistArray kept;
    kept.reserve(entries->size());
    for (CDicValueObj& element : *entries) {
        CPageEntriesList* owner = nullptr;
        for (const std::unique_ptr<CPageEntriesList>& page : tab.entries) {
            if (!page->removed && element.Dictionary() != nullptr &&
                page->element.Dictionary() == element.Dictionary()) {
                owner = page.get();
                break;
            }
        }
        if (owner != nullptr && owner->selected != 0) {
            owner->removed = true;
            owner_->AdjustSelection(1, owner->size, false);
        } else {
            kept.push_back(std::move(element));
        }
    }
    *entries = std::move(kept);
}

void CSuspendStateManage::RemoveSelected() {
    PlistArray* documents = Documents();
    if (documents == nullptr) return;
    const ResultList& list = owner_->Results(kResultSafariTabs);
    processed_ = 0;
    total_ = static_cast<uint32_t>(list.size());
    for (size_t i = 0; i < list.size() && !owner_->StopRequested(); ++i) {
        CSuspendStateModel& tab = *list.At<CSuspendStateModel>(i);
        // A tab without an identifier, or whose identifier is gone, cannot be found again.
        size_t found = documents->size();
        if (!tab.removed && tab.hasUuid) {
            for (size_t d = 0; d < documents->size(); ++d) {
                if ((*documents)[d].GetString(kUuidKey) == tab.uuidUtf8) {
                    found = d;
                    break;
                }
            }
        }
        if (found < documents->size()) {
            if (tab.selected != 0) {
                documents->erase(documents->begin() + static_cast<std::ptrdiff_t>(found));
                tab.removed = true;
                for (const std::unique_ptr<CPageEntriesList>& page : tab.entries) {
                    if (page->removed) continue;
                    page->removed = true;
                    owner_->AdjustSelection(1, page->size, false);
                }
            } else {
                RemoveEntries(tab, (*documents)[found]);
            }
        }
        owner_->SetMessage(tab.title);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
    WriteSafariPlist(path_, tree_);
}

void CSuspendPageJunk::Scan(CIPhone* device) {
    SetBusy(1);
    device_ = device;
    ReleaseItems(kResultSafariTabs);
    manage_.reset();
    if (!StopRequested()) {
        const std::string path = CConfigureTool::Instance().CopySuspendState();
        if (!path.empty() && platform::IsFile(path)) {
            manage_ = std::make_unique<CSuspendStateManage>(path, this);
            SetMessage(kMessageStartScanning);
            if (!StopRequested()) manage_->ReadTabs();
        }
    }
    SetFinished();
}

void CSuspendPageJunk::Clean() {
    if (manage_ != nullptr && !Results(kResultSafariTabs).empty()) {
        SetBusy(0);
        manage_->RemoveSelected();
    }
    SetFinished();
}

}  // namespace bw
