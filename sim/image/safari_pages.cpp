#include "safari_pages.h"

#include <plist/plist.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/plist_tree.h"
#include "private_data.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

struct Site {
    const char* url;    // without the path
    const char* title;  // of the site's front page
};

// Titles in several scripts, one with quotes and a percent sign, so that text reaches every
// reader intact.
constexpr Site kSites[] = {
    {"https://www.example.com", "Example Domain"},
    {"https://news.example.de", "Nachrichten \xe2\x80\x93 K\xc3\xb6ln und Umgebung"},
    {"https://weather.example.cn", "\xe5\xa4\xa9\xe6\xb0\x94\xe9\xa2\x84\xe6\x8a\xa5"},
    {"https://shop.example.jp", "\xe3\x82\xb7\xe3\x83\xa7\xe3\x83\x83\xe3\x83\x97"},
    {"https://mail.example.org", "Inbox (3) \xe2\x80\x94 Mail"},
    {"https://recipes.example.fr",
     "Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9"
     "e facile"},
    {"https://forum.example.ru",
     "\xd0\xa4\xd0\xbe\xd1\x80\xd1\x83\xd0\xbc \xd0\xbb\xd1\x8e\xd0\xb1\xd0\xb8\xd1\x82\xd0\xb5"
     "\xd0\xbb\xd0\xb5\xd0\xb9"},
    {"https://deals.example.com", "Save 50% on \"everything\" \xf0\x9f\x8e\x89"},
    {"https://maps.example.com", "Maps"},
    {"https://wiki.example.org", "\xce\x95\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1"},
};

constexpr const char* kPaths[] = {
    "/",      "/index.html", "/search?q=caf%C3%A9",   "/article/2013/12/24",
    "/login", "/m/",         "/category/news?page=2", "/item/4711",
};

constexpr int kHistoryPages = 48;
constexpr int kPagesPerScaleStep = 50;
constexpr int kTabs = 5;

std::string BinaryList(plist_t tree) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(tree, &bytes, &length);
    std::string binary = bytes != nullptr ? std::string(bytes, length) : std::string();
    if (bytes != nullptr) plist_to_bin_free(bytes);
    return binary;
}

// The phone writes the time with one decimal place as text.
std::string DecimalSeconds(int64_t unixSeconds, int tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%d", static_cast<long long>(unixSeconds - kAppleEpoch),
                  tenths);
    return text;
}

struct Visit {
    std::string url;
    std::string title;
};

Visit PickVisit(SeededRandom& random) {
    const Site& site = random.Pick(kSites);
    const char* path = random.Pick(kPaths);
    Visit visit{std::string(site.url) + path, site.title};
    if (std::string(path) != "/") visit.title += std::string(" \xe2\x80\x93 ") + (path + 1);
    return visit;
}

PlistTree MakeHistory(const ImageOptions& options, int64_t now, int major) {
    SeededRandom random(options.seed, "safari-history");
    const int count = kHistoryPages + (options.scale - 1) * kPagesPerScaleStep;
    plist_t pages = plist_new_array();
    int64_t clock = now - 3600;
    for (int i = 0; i < count; ++i) {
        const Visit visit = PickVisit(random);
        const uint64_t visits = static_cast<uint64_t>(random.Between(1, 40));
        DictBuilder page;
        // The address is the value of the first key, whose name is empty.
        page.Text("", visit.url);
        if (major >= 6) {
            plist_t days = plist_new_array();
            plist_array_append_item(days, plist_new_uint(visits));
            page.Value("D", days);
        }
        page.Text("lastVisitedDate", DecimalSeconds(clock, static_cast<int>(random.Below(10))));
        // Some pages never finished loading and have no title.
        if (!random.Chance(8)) page.Text("title", visit.title);
        page.Integer("visitCount", visits).Integer("ID", static_cast<uint64_t>(count - i));
        plist_array_append_item(pages, page.Release());
        clock -= random.Between(60, 6 * 3600);
    }
    DictBuilder top;
    top.Value("WebHistoryDates", pages).Integer("WebHistoryFileVersion", 1);
    return top.Take();
}

plist_t MakeEntry(SeededRandom& random, const Visit& visit, int major) {
    DictBuilder entry;
    entry.Text("", visit.url).Text("title", visit.title);
    entry.Real("scale", random.Chance(70) ? 1.0 : 1.5);
    entry.Flag("scaleIsInitial", random.Chance(60));
    if (major >= 6) entry.Text("scrollPoint", "{0, " + std::to_string(random.Below(4000)) + "}");
    return entry.Release();
}

PlistTree MakeSuspendState(const ImageOptions& options, int64_t now, int major) {
    SeededRandom random(options.seed, "safari-suspend-state");
    plist_t documents = plist_new_array();
    for (int t = 0; t < kTabs; ++t) {
        const int entryCount = static_cast<int>(random.Between(1, 6));
        std::vector<Visit> visits;
        plist_t entries = plist_new_array();
        for (int e = 0; e < entryCount; ++e) {
            visits.push_back(PickVisit(random));
            plist_array_append_item(entries, MakeEntry(random, visits.back(), major));
        }
        DictBuilder backForward;
        backForward.Integer("capacity", 100)
            .Integer("current", static_cast<uint64_t>(entryCount - 1))
            .Value("entries", entries);
        DictBuilder tab;
        tab.Dict("SafariStateDocumentBackForwardList", std::move(backForward));
        if (major >= 7) tab.Flag("SafariStateDocumentIsPrivate", t == kTabs - 1);
        tab.Real("SafariStateDocumentLastViewedTime",
                 static_cast<double>(now - kAppleEpoch - random.Between(60, 5 * 86400)) + 0.25)
            .Text("SafariStateDocumentTitle", visits.back().title)
            .Text("SafariStateDocumentURL", visits.back().url)
            .Text("SafariStateDocumentUUID", UpperUuid(random))
            .Text("SafariStateDocumentUserVisibleURL", visits.back().url);
        plist_array_append_item(documents, tab.Release());
    }
    DictBuilder top;
    top.Integer("SafariStateActiveDocumentIndex", random.Below(kTabs))
        .Value("SafariStateDocuments", documents);
    return top.Take();
}

}  // namespace

bool AddSafariPages(ImageWriter& writer, const ImageOptions& options) {
    const DeviceIdentity& identity = writer.identity();
    const int major = identity.release->major;
    const PlistTree history = MakeHistory(options, identity.now, major);
    const PlistTree suspendState = MakeSuspendState(options, identity.now, major);
    const std::string historyBytes = BinaryList(history.get());
    const std::string suspendBytes = BinaryList(suspendState.get());
    if (historyBytes.empty() || suspendBytes.empty())
        return writer.Fail("Safari's property lists could not be serialised");
    return writer.File(kSafariHistoryPath, historyBytes) &&
           writer.File(kSafariSuspendStatePath, suspendBytes);
}

}  // namespace bw::sim
