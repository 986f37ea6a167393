#include "platform/time_text.h"

#include <cstdio>

namespace {

// 10000-01-01 00:00:00 UTC: the first time that takes five digits of year.
constexpr int64_t kFirstUnknownTime = 2650467744000000000LL;

// The civil date and time (proleptic Gregorian, UTC) of a time that
// FormatSystemTime shows; false for one it does not.
struct Civil {
  int64_t year, month, day, hour, minute, second, millisecond;
};
bool CivilOf(int64_t time, Civil* c) {
  if (time < 0 || time >= kFirstUnknownTime) return false;
  // Days and ticks since 1970-01-01, then the civil date of the days.
  constexpr int64_t kTicksPerDay = 864000000000LL;
  const int64_t days = time / kTicksPerDay - 134774;
  const int64_t ticks = time % kTicksPerDay;
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  c->day = dayOfYear - (153 * mp + 2) / 5 + 1;
  c->month = mp < 10 ? mp + 3 : mp - 9;
  c->year = yearOfEra + era * 400 + (c->month <= 2 ? 1 : 0);
  const int64_t ms = ticks / 10000;
  c->hour = ms / 3600000;
  c->minute = ms / 60000 % 60;
  c->second = ms / 1000 % 60;
  c->millisecond = ms % 1000;
  return true;
}

}  // namespace

bool FormatSystemTime(int64_t time, char* out, size_t size) {
  Civil c;
  if (!CivilOf(time, &c)) {
    std::snprintf(out, size, "an unknown time");
    return false;
  }
  std::snprintf(out, size, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC",
                static_cast<long long>(c.year), static_cast<long long>(c.month),
                static_cast<long long>(c.day), static_cast<long long>(c.hour),
                static_cast<long long>(c.minute), static_cast<long long>(c.second));
  return true;
}

bool FormatIsoTime(int64_t time, char* out, size_t size) {
  Civil c;
  if (!CivilOf(time, &c)) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  std::snprintf(out, size, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(c.year), static_cast<long long>(c.month),
                static_cast<long long>(c.day), static_cast<long long>(c.hour),
                static_cast<long long>(c.minute), static_cast<long long>(c.second),
                static_cast<long long>(c.millisecond));
  return true;
}

bool TimeBetween(int64_t from, int64_t to, int64_t* ticks) {
  const bool known = from >= 0 && from < kFirstUnknownTime && to >= from && to < kFirstUnknownTime;
  *ticks = known ? to - from : 0;
  return known;
}
