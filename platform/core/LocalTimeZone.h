#pragma once

// The system's time zone, followed while the program runs: when TZ, /etc/localtime or
// /etc/timezone changes, ICU's default zone (and the C library's) is set anew, so that log stamps
// and the day's folder follow a zone changed without a restart. Safe from any thread.
namespace LocalTimeZone {

// Looks for a change at most once a second; the count goes up by one at each change found.
unsigned generation();

}  // namespace LocalTimeZone
