// Syslog time stamps as a replay clock.
#include "tools/kivrule/replay_clock.h"

#include <cstring>

namespace {

constexpr double kDay = 86400;
// The day table has Feb 29, so the year that follows starts 366 days on.
constexpr double kYear = 366 * kDay;

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const int kDaysBefore[12] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335};
const int kDaysIn[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// Two digits at p as a number no larger than max; -1 otherwise.
int two_digits(const char* p, int max) {
  if (!digit(p[0]) || !digit(p[1])) return -1;
  int v = (p[0] - '0') * 10 + (p[1] - '0');
  return v <= max ? v : -1;
}

}  // namespace

long syslog_stamp_seconds(const char* text, size_t len, size_t* stamp_len) {
  // "Dec  6 12:00:00", "Dec 06 12:00:00" or "Dec 6 12:00:00".
  if (len < 14 || text[3] != ' ') return -1;
  int month = -1;
  for (int m = 0; m < 12; ++m)
    if (std::memcmp(text, kMonths[m], 3) == 0) month = m;
  if (month < 0) return -1;
  size_t at = 4;
  int day = 0;
  if (text[at] == ' ' && digit(text[at + 1])) {
    day = text[at + 1] - '0';
    at += 2;
  } else if (digit(text[at]) && digit(text[at + 1])) {
    day = (text[at] - '0') * 10 + (text[at + 1] - '0');
    at += 2;
  } else if (digit(text[at])) {
    day = text[at] - '0';
    at += 1;
  } else {
    return -1;
  }
  if (day < 1 || day > kDaysIn[month]) return -1;
  if (len < at + 9 || text[at] != ' ' || text[at + 3] != ':' || text[at + 6] != ':') return -1;
  int h = two_digits(text + at + 1, 23);
  int mi = two_digits(text + at + 4, 59);
  int s = two_digits(text + at + 7, 60);
  if (h < 0 || mi < 0 || s < 0) return -1;
  if (stamp_len) *stamp_len = at + 9;
  long days = kDaysBefore[month] + day - 1;
  return ((days * 24 + h) * 60 + mi) * 60L + s;
}

bool replay_clock::take_stamp(const char* text, size_t len) {
  size_t stamp_len = 0;
  long s = syslog_stamp_seconds(text, len, &stamp_len);
  if (s < 0) return false;
  stamp_.assign(text, stamp_len);
  double abs = year_base_ + static_cast<double>(s);
  if (!started_) {
    started_ = true;
    origin_ = last_ = abs;
  } else if (abs < last_ - kYear / 2) {
    year_base_ += kYear;
    abs += kYear;
    ++year_turns_;
  }
  if (abs < last_) {
    ++back_steps_;  // the clock holds at the latest time
  } else {
    last_ = abs;
  }
  now_ = last_ - origin_;
  return true;
}
