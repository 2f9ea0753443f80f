#include "privacy_items.h"

#include <fnmatch.h>

#include <cstdio>
#include <ctime>

#include "brackwater/apps.h"
#include "brackwater/privacy.h"
#include "cli.h"
#include "scan_progress.h"
#include "text.h"

namespace cli {

namespace {

// Seconds since 1970 (calls) or since 2001 (cookies) as ISO 8601 text in UTC.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

std::string IsoDate(double unixSeconds) {
    const std::time_t time = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    if (::gmtime_r(&time, &utc) == nullptr) return {};
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

std::string Format(const char* format, auto... values) {
    const int length = std::snprintf(nullptr, 0, format, values...);
    if (length <= 0) return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, values...);
    text.pop_back();
    return text;
}

std::string Json(const std::string& text) {
    return JsonString(text);
}

std::string Shown(const std::string& text) {
    return Printable(text);
}

std::string Size(uint64_t bytes) {
    return ProgressWatch::Size(bytes);
}

// Select(0) reads the flag and Select(1) toggles it.
template <class Record>
void Bind(FoundItem& item, Record* record) {
    item.selected = [record] { return record->Select(0) != 0; };
    item.select = [record](bool wanted) {
        if ((record->Select(0) != 0) != wanted) record->Select(1);
    };
}

// The items of a result list of the session; `make` returns false for a record it skips.
template <class Record, class Make>
std::vector<FoundItem> ListItems(IScanDevice* session, int32_t (IScanDevice::*count)(),
                                 void* (IScanDevice::*at)(int32_t), Make make) {
    std::vector<FoundItem> items;
    const int32_t total = (session->*count)();
    for (int32_t i = 0; i < total; ++i) {
        auto* record = static_cast<Record*>((session->*at)(i));
        if (record == nullptr) continue;
        FoundItem item;
        make(record, item);
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<FoundItem> Calls(IScanDevice* session) {
    return ListItems<ICallContactModel>(
        session, &IScanDevice::GetResultCount3, &IScanDevice::GetResult3,
        [](ICallContactModel* group, FoundItem& item) {
            const std::string contact = Text(group, &ICallContactModel::GetContactName);
            item.names = {contact};
            Bind(item, group);
            for (int32_t j = 0; j < group->GetCallCount(); ++j) {
                ICallHistoryModel* call = group->GetCall(j);
                if (call == nullptr) continue;
                const std::string address = Text(call, &ICallHistoryModel::GetAddress);
                const std::string date = IsoDate(call->GetDate());
                FoundItem entry;
                entry.names = {address};
                Bind(entry, call);
                entry.line = Format("call  %-20s %-24s %s  %ds", Shown(address).c_str(),
                                    Shown(contact).c_str(), date.c_str(), call->GetDuration());
                entry.json = Format(",\"address\":%s,\"contact\":%s,\"date\":%s,\"duration\":%d",
                                    Json(address).c_str(), Json(contact).c_str(),
                                    Json(date).c_str(), call->GetDuration());
                item.children.push_back(std::move(entry));
            }
        });
}

std::vector<FoundItem> Conversations(IScanDevice* session) {
    return ListItems<ISMSChatModel>(
        session, &IScanDevice::GetResultCount11, &IScanDevice::GetResult11,
        [](ISMSChatModel* chat, FoundItem& item) {
            const std::string identifier = Text(chat, &ISMSChatModel::GetChatIdentifier);
            const std::string contact = Text(chat, &ISMSChatModel::GetContactName);
            const unsigned long long size = chat->GetTotalSize();
            item.names = {identifier, contact};
            Bind(item, chat);
            item.line =
                Format("conversation  %-24s %-24s %d messages, %d attachments, %s",
                       Shown(identifier).c_str(), Shown(contact).c_str(), chat->GetMessageCount(),
                       chat->GetAttachmentCount(), Size(size).c_str());
            item.json = Format(
                ",\"chat\":%s,\"contact\":%s,\"messages\":%d,\"attachments\":%d,"
                "\"size\":%llu",
                Json(identifier).c_str(), Json(contact).c_str(), chat->GetMessageCount(),
                chat->GetAttachmentCount(), size);
        });
}

std::vector<FoundItem> Leftovers(IScanDevice* session) {
    return ListItems<IAppRemainModel>(
        session, &IScanDevice::GetResultCount7, &IScanDevice::GetResult7,
        [](IAppRemainModel* app, FoundItem& item) {
            const std::string id = Text(app, &IAppRemainModel::GetIdentifier);
            const unsigned long long size = app->GetTotalSize();
            item.names = {id};
            Bind(item, app);
            item.line = Format("application data  %-40s %d files, %s", Shown(id).c_str(),
                               app->GetFileCount(), Size(size).c_str());
            item.json = Format(",\"id\":%s,\"files\":%d,\"size\":%llu", Json(id).c_str(),
                               app->GetFileCount(), size);
        });
}

std::vector<FoundItem> SurplusFiles(IScanDevice* session) {
    return ListItems<ISurplusFileModel>(
        session, &IScanDevice::GetResultCount12, &IScanDevice::GetResult12,
        [](ISurplusFileModel* file, FoundItem& item) {
            const std::string path = Text(file, &ISurplusFileModel::GetName);
            const unsigned long long size = file->GetSize();
            item.names = {path};
            Bind(item, file);
            item.line = Format("attachment file  %s  %s", Shown(path).c_str(), Size(size).c_str());
            item.json = Format(",\"path\":%s,\"size\":%llu", Json(path).c_str(), size);
        });
}

// A page of the cookie file holds the cookies of one site; its keep flag cleared removes it
// whole.
std::vector<FoundItem> Cookies(IScanDevice* session) {
    std::vector<FoundItem> items;
    auto* file = static_cast<ICookieModel*>(session->GetCookieTree());
    if (file == nullptr) return items;
    for (int32_t p = 0; p < file->GetPageCount(); ++p) {
        ICookiePageModel* page = file->GetPage(p);
        if (page == nullptr) continue;
        FoundItem site;
        site.selected = [page] { return page->Keep(0) == 0; };
        site.select = [page](bool wanted) {
            if ((page->Keep(0) == 0) != wanted) page->Keep(1);
        };
        std::string domains;
        for (int32_t c = 0; c < page->GetCookieCount(); ++c) {
            ICookieContentModel* cookie = page->GetCookie(c);
            if (cookie == nullptr) continue;
            const std::string domain = Text(cookie, &ICookieContentModel::GetUrl);
            const std::string name = Text(cookie, &ICookieContentModel::GetName);
            const std::string path = Text(cookie, &ICookieContentModel::GetPath);
            // A cookie without an expiry date lasts for the session.
            const double expiry = cookie->GetExpirationDate();
            const std::string expires =
                expiry > 0 ? IsoDate(expiry + kSecondsFrom1970To2001) : std::string();
            if (domains.find(domain) == std::string::npos) {
                domains += (domains.empty() ? "" : " ") + domain;
                site.names.push_back(domain);
            }
            FoundItem entry;
            entry.names = {name};
            Bind(entry, cookie);
            entry.line =
                Format("cookie  %-24s %-28s %s", Shown(name).c_str(), Shown(domain + path).c_str(),
                       expires.empty() ? "session" : expires.c_str());
            entry.json = Format(",\"domain\":%s,\"name\":%s,\"path\":%s,\"expires\":%s",
                                Json(domain).c_str(), Json(name).c_str(), Json(path).c_str(),
                                expires.empty() ? "null" : Json(expires).c_str());
            site.children.push_back(std::move(entry));
        }
        site.line = Format("site  %s  %d cookies", Shown(domains).c_str(), page->GetCookieCount());
        items.push_back(std::move(site));
    }
    return items;
}

std::vector<FoundItem> WebAppData(IScanDevice* session) {
    return ListItems<ICacheGroupsModel>(
        session, &IScanDevice::GetResultCount0, &IScanDevice::GetResult0,
        [](ICacheGroupsModel* origin, FoundItem& item) {
            const std::string name = Text(origin, &ICacheGroupsModel::GetOrigin);
            const std::string manifest = Text(origin, &ICacheGroupsModel::GetManifestUrl);
            const unsigned long long size = origin->GetSize();
            item.names = {name, manifest};
            Bind(item, origin);
            item.line = Format("web data  %-36s %d entries, %s", Shown(name).c_str(),
                               origin->GetItemCount(), Size(size).c_str());
            item.json = Format(",\"origin\":%s,\"entries\":%d,\"size\":%llu", Json(name).c_str(),
                               origin->GetItemCount(), size);
            for (int32_t i = 0; i < origin->GetItemCount(); ++i) {
                IResourceDataModel* data = origin->GetItem(i);
                if (data == nullptr) continue;
                const std::string key = Text(data, &IResourceDataModel::GetKey);
                FoundItem entry;
                entry.names = {key};
                Bind(entry, data);
                entry.line =
                    Format("entry  %s  %s", Shown(key).c_str(), Size(data->GetSize()).c_str());
                item.children.push_back(std::move(entry));
            }
        });
}

std::vector<FoundItem> WebMail(IScanDevice* session) {
    return ListItems<IMailModel>(
        session, &IScanDevice::GetResultCount0, &IScanDevice::GetResult0,
        [](IMailModel* mail, FoundItem& item) {
            const std::string site = Text(mail, &IMailModel::GetOrigin);
            item.names = {site};
            Bind(item, mail);
            item.line =
                Format("mail site  %s  %d messages", Shown(site).c_str(), mail->GetMessageCount());
            for (int32_t i = 0; i < mail->GetMessageCount(); ++i) {
                IMailMessage* message = mail->GetMessage(i);
                if (message == nullptr) continue;
                const std::string subject = Text(message, &IMailMessage::GetSubject);
                const std::string sender = Text(message, &IMailMessage::GetSender);
                const std::string date = Text(message, &IMailMessage::GetReceivedDateText);
                FoundItem entry;
                entry.names = {subject, sender};
                Bind(entry, message);
                entry.line = Format("message  %s  %-28s %s", date.c_str(), Shown(sender).c_str(),
                                    Shown(subject).c_str());
                entry.json = Format(",\"site\":%s,\"subject\":%s,\"from\":%s,\"date\":%s",
                                    Json(site).c_str(), Json(subject).c_str(), Json(sender).c_str(),
                                    Json(date).c_str());
                item.children.push_back(std::move(entry));
            }
        });
}

std::vector<FoundItem> RecentApps(IScanDevice* session) {
    return ListItems<IAppInfo>(
        session, &IScanDevice::GetResultCount0, &IScanDevice::GetResult0,
        [](IAppInfo* app, FoundItem& item) {
            const std::string id = Text(app, &IAppInfo::GetIdentifier);
            const std::string name = Text(app, &IAppInfo::GetName);
            item.names = {id, name};
            item.selected = [app] { return app->Selected(0) != 0; };
            item.select = [app](bool wanted) {
                if ((app->Selected(0) != 0) != wanted) app->Selected(1);
            };
            item.line =
                Format("recent application  %-36s %s", Shown(id).c_str(), Shown(name).c_str());
            item.json = Format(",\"id\":%s,\"name\":%s", Json(id).c_str(), Json(name).c_str());
        });
}

std::vector<FoundItem> PushStores(IScanDevice* session) {
    return ListItems<IAppPushStoreModel>(
        session, &IScanDevice::GetResultCount0, &IScanDevice::GetResult0,
        [](IAppPushStoreModel* store, FoundItem& item) {
            const std::string id = Text(store, &IAppPushStoreModel::GetBundleIdentifier);
            const std::string title = Text(store, &IAppPushStoreModel::GetDisplayName);
            item.names = {id, title};
            Bind(item, store);
            item.line = Format("notifications  %-36s %d messages", Shown(id).c_str(),
                               store->GetMessageCount());
            item.json =
                Format(",\"id\":%s,\"messages\":%d", Json(id).c_str(), store->GetMessageCount());
            // The notifications are shown; the store goes or stays as a whole.
            for (int32_t i = 0; i < store->GetMessageCount(); ++i) {
                IPushMessageModel* message = store->GetMessage(i);
                if (message == nullptr) continue;
                FoundItem entry;
                entry.line =
                    Format("%s  %s", Text(message, &IPushMessageModel::GetDateText).c_str(),
                           Shown(Text(message, &IPushMessageModel::GetMessageText)).c_str());
                item.children.push_back(std::move(entry));
            }
        });
}

std::vector<FoundItem> History(IScanDevice* session) {
    return ListItems<IHistoryDataModel>(
        session, &IScanDevice::GetResultCount0, &IScanDevice::GetResult0,
        [](IHistoryDataModel* page, FoundItem& item) {
            const std::string url = Text(page, &IHistoryDataModel::GetURL);
            const std::string title = Text(page, &IHistoryDataModel::GetTitle);
            const std::string date = Text(page, &IHistoryDataModel::GetDateText);
            item.names = {url, title};
            Bind(item, page);
            item.line = Format("page  %-19s %4d visits  %-40s %s", date.c_str(),
                               page->GetVisitCount(), Shown(url).c_str(), Shown(title).c_str());
            item.json =
                Format(",\"url\":%s,\"title\":%s,\"visits\":%d,\"date\":%s", Json(url).c_str(),
                       Json(title).c_str(), page->GetVisitCount(), Json(date).c_str());
        });
}

std::vector<FoundItem> Tabs(IScanDevice* session) {
    return ListItems<ISuspendStateModel>(
        session, &IScanDevice::GetResultCount0, &IScanDevice::GetResult0,
        [](ISuspendStateModel* tab, FoundItem& item) {
            const std::string url = Text(tab, &ISuspendStateModel::GetURL);
            const std::string title = Text(tab, &ISuspendStateModel::GetTitle);
            item.names = {url, title};
            Bind(item, tab);
            item.line = Format("tab  %-40s %s  %d entries", Shown(url).c_str(),
                               Shown(title).c_str(), tab->GetEntryCount());
            item.json = Format(",\"title\":%s,\"url\":%s,\"entries\":%d", Json(title).c_str(),
                               Json(url).c_str(), tab->GetEntryCount());
            for (int32_t i = 0; i < tab->GetEntryCount(); ++i) {
                IPageEntriesList* entry = tab->GetEntry(i);
                if (entry == nullptr) continue;
                const std::string entryUrl = Text(entry, &IPageEntriesList::GetURL);
                const std::string entryTitle = Text(entry, &IPageEntriesList::GetTitle);
                FoundItem page;
                page.names = {entryUrl, entryTitle};
                Bind(page, entry);
                page.line =
                    Format("entry  %-40s %s", Shown(entryUrl).c_str(), Shown(entryTitle).c_str());
                item.children.push_back(std::move(page));
            }
        });
}

bool Matches(const std::vector<std::string>& globs, const std::vector<std::string>& names) {
    for (const std::string& glob : globs) {
        for (const std::string& name : names) {
            if (!name.empty() && ::fnmatch(glob.c_str(), name.c_str(), 0) == 0) return true;
        }
    }
    return false;
}

// Whether the item goes; `names` holds the names of the items above it.
bool ChooseItem(FoundItem& item, const Choice& choice, std::vector<std::string> names) {
    names.insert(names.end(), item.names.begin(), item.names.end());
    bool chosenChildren = false, everyChildGoes = true;
    for (FoundItem& child : item.children) {
        if (!child.select) continue;
        chosenChildren = true;
        everyChildGoes = ChooseItem(child, choice, names) && everyChildGoes;
    }
    const bool goes = chosenChildren ? everyChildGoes : !choice.Keeps(names);
    if (item.select) item.select(goes);
    return goes;
}

bool AnyGoes(const FoundItem& item) {
    if (item.selected && item.selected()) return true;
    for (const FoundItem& child : item.children) {
        if (AnyGoes(child)) return true;
    }
    return false;
}

// After a clean (`removed`), an item that stays is printed only to head those under it that go.
size_t PrintItem(const FoundItem& item, const char* typeName, bool removed, bool json,
                 bool aboveGoes, size_t depth) {
    const bool goes = aboveGoes || (item.selected && item.selected());
    if (removed && !goes && !AnyGoes(item)) return 0;
    size_t printed = 0;
    if ((!removed || goes) && !item.json.empty()) {
        ++printed;
        if (json) std::printf("{\"type\":%s%s}\n", JsonString(typeName).c_str(), item.json.c_str());
    }
    if (!json && !item.line.empty()) {
        std::printf("%s%s%s\n", std::string(depth * 2, ' ').c_str(),
                    removed && goes ? "removed " : "", item.line.c_str());
    }
    for (const FoundItem& child : item.children)
        printed +=
            PrintItem(child, typeName, removed, json, goes, item.line.empty() ? depth : depth + 1);
    return printed;
}

}  // namespace

bool Choice::Keeps(const std::vector<std::string>& names) const {
    if (Matches(keep, names)) return true;
    return !only.empty() && !Matches(only, names);
}

std::vector<FoundItem> FoundItems(IScanDevice* session, int type) {
    switch (type) {
        case kJunkCallHistory:
            return Calls(session);
        case kJunkMessages:
            return Conversations(session);
        case kJunkAppLeftovers:
            return Leftovers(session);
        case kJunkSurplusAttachments:
            return SurplusFiles(session);
        case kJunkSafariTabs:
            return Tabs(session);
        case kJunkSafariCookies:
            return Cookies(session);
        case kJunkSafariHistory:
            return History(session);
        case kJunkWebAppData:
            return WebAppData(session);
        case kJunkWebMail:
            return WebMail(session);
        case kJunkRecentApps:
            return RecentApps(session);
        case kJunkPushNotifications:
            return PushStores(session);
        default:
            return {};
    }
}

void Choose(std::vector<FoundItem>& items, const Choice& choice) {
    if (choice.keep.empty() && choice.only.empty()) return;
    for (FoundItem& item : items)
        ChooseItem(item, choice, {});
}

void Freeze(std::vector<FoundItem>& items) {
    for (FoundItem& item : items) {
        if (item.selected) item.selected = [goes = item.selected()] { return goes; };
        if (item.select) item.select = [](bool) {};
        Freeze(item.children);
    }
}

size_t PrintItems(const std::vector<FoundItem>& items, const char* typeName, bool removed,
                  bool json) {
    size_t printed = 0;
    for (const FoundItem& item : items)
        printed += PrintItem(item, typeName, removed, json, false, 0);
    return printed;
}

}  // namespace cli
