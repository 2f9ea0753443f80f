// Calendar time, in UTC and in the host's local time zone.
#pragma once

#include <cstdint>
#include <ctime>

namespace bw::platform {

int64_t NowUnixSeconds();
std::tm UtcCalendar(int64_t unixSeconds);
std::tm LocalCalendar(int64_t unixSeconds);
// Broken-down UTC or local time back to Unix seconds (fields out of range are normalised).
int64_t UnixSecondsFromUtc(const std::tm& utc);
int64_t UnixSecondsFromLocal(const std::tm& local);

}  // namespace bw::platform
