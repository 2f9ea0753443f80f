#include "safari_cookies.h"

#include <string>
#include <vector>

#include "app_sandbox.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

constexpr int64_t kUnixToReferenceDate = 978307200;  // 1970 to 2001, in seconds
constexpr uint32_t kSecure = 1;
constexpr uint32_t kHttpOnly = 4;

struct Site {
    const char* domain;
    const char* names[4];  // null: fewer cookies
};

// One page per site, in the order the browser met them. The café's cookies carry text outside
// ASCII in their names and values; the bank's are all session cookies.
constexpr Site kSites[] = {
    {".news.example.com", {"_ga", "edition", "consent", nullptr}},
    {".shop.example.net", {"cart", "currency", "recently_viewed", "session"}},
    {"caf\xC3\xA9.example.fr",
     {"pr\xC3\xA9"
      "f\xC3\xA9rences",
      "langue", nullptr, nullptr}},
    {"online.bank.example", {"SESSIONID", "csrf", nullptr, nullptr}},
    {".video.example.org",
     {"volume", "\xE8\xA6\x96\xE8\x81\xB4\xE5\xB1\xA5\xE6\xAD\xB4", nullptr, nullptr}},
};

std::string ValueFor(SeededRandom& random, const std::string& domain, const std::string& name) {
    if (name == "currency") return "EUR";
    if (name == "langue")
        return "fran\xC3\xA7"
               "ais";
    if (name == "edition") return "international";
    if (domain.find("video") != std::string::npos && name != "volume")
        return "\xE6\x9C\x80\xE8\xBF\x91:" + random.LowerHex(6);
    if (name == "volume") return std::to_string(random.Between(0, 100));
    return random.LowerHex(static_cast<size_t>(random.Between(8, 40)));
}

}  // namespace

bool AddSafariCookies(ImageWriter& writer, const ImageOptions& options) {
    SeededRandom random(options.seed, "safari-cookies");
    const double now = static_cast<double>(writer.identity().now - kUnixToReferenceDate);
    std::vector<std::vector<CookieSpec>> pages;
    for (const Site& site : kSites) {
        std::vector<CookieSpec>& page = pages.emplace_back();
        const bool bank = std::string(site.domain).find("bank") != std::string::npos;
        for (const char* name : site.names) {
            if (name == nullptr) break;
            CookieSpec cookie;
            cookie.domain = site.domain;
            cookie.name = name;
            cookie.path = random.Chance(25) ? "/account" : "/";
            cookie.value = ValueFor(random, site.domain, name);
            cookie.flags = bank ? kSecure | kHttpOnly : random.Chance(30) ? kSecure : 0;
            cookie.created = now - 3600.0 * static_cast<double>(random.Between(1, 24 * 60));
            // A session cookie has no expiry; the others last from a day to two years.
            const bool session = bank || random.Chance(20);
            cookie.expires =
                session ? 0.0 : now + 86400.0 * static_cast<double>(random.Between(1, 730));
            page.push_back(std::move(cookie));
        }
    }
    return writer.File(kSafariCookiesPath, BinaryCookies(pages));
}

}  // namespace bw::sim
