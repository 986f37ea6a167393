// Wall-clock times (SystemTime's 100 ns units since 1601-01-01 UTC) as
// text, and spans between them. Pure calendar arithmetic, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

// A wall-clock time in 100 ns units since 1601-01-01 UTC as
// "YYYY-MM-DD hh:mm:ss UTC"; a time before 1601 or from the year 10000 on,
// which only a wrong clock gives, as "an unknown time" (false).
bool FormatSystemTime(int64_t time, char* out, size_t size);

// The same time as ISO 8601 UTC to the millisecond,
// "2026-12-07T13:05:09.123Z"; "" (false) where FormatSystemTime says unknown.
bool FormatIsoTime(int64_t time, char* out, size_t size);

// The time from `from` to `to` in 100 ns units, when both are times that
// FormatSystemTime shows and `to` is not earlier; false otherwise.
bool TimeBetween(int64_t from, int64_t to, int64_t* ticks);
