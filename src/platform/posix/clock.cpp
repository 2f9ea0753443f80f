#include <ctime>

#include "platform/clock.h"

namespace bw::platform {

int64_t NowUnixSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

std::tm UtcCalendar(int64_t unixSeconds) {
    std::tm out{};
    const time_t t = static_cast<time_t>(unixSeconds);
    ::gmtime_r(&t, &out);
    return out;
}

std::tm LocalCalendar(int64_t unixSeconds) {
    std::tm out{};
    const time_t t = static_cast<time_t>(unixSeconds);
    ::localtime_r(&t, &out);
    return out;
}

int64_t UnixSecondsFromUtc(const std::tm& utc) {
    std::tm copy = utc;
    return static_cast<int64_t>(::timegm(&copy));
}

int64_t UnixSecondsFromLocal(const std::tm& local) {
    std::tm copy = local;
    copy.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&copy));
}

}  // namespace bw::platform
