// The clock of a replayed log: the syslog time stamps of its lines ("MMM dd HH:MM:SS", no
// year), or a fixed line rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Seconds since the start of the year of a time stamp at the start of text, or -1 when the text
// does not start with one; *stamp_len (when given) is its length. Feb 29 is a day of every year.
long syslog_stamp_seconds(const char* text, size_t len, size_t* stamp_len = nullptr);

struct replay_clock {
  // Takes the time stamp at the start of a line; false (time unchanged) when it has none.
  // The first stamp is time 0. A stamp more than half a year before the previous one is of the
  // next year; a smaller step back holds the clock, since the daemon's clock never runs back.
  bool take_stamp(const char* text, size_t len);
  void set_seconds(double s) { now_ = s; }
  // Seconds since the first time stamp (log clock) or since the start (rate clock).
  double seconds() const { return now_; }
  // The match time the ring keeps. It starts at 1 s: the ring reads a time of 0 as a free slot.
  double ring_time() const { return now_ + 1.0; }
  const std::string& stamp_text() const { return stamp_; }
  uint64_t back_steps() const { return back_steps_; }
  uint64_t year_turns() const { return year_turns_; }

 private:
  bool started_ = false;
  double origin_ = 0;  // absolute seconds of the first stamp
  double last_ = 0;    // absolute seconds of the latest stamp
  double year_base_ = 0;
  double now_ = 0;
  std::string stamp_;
  uint64_t back_steps_ = 0;
  uint64_t year_turns_ = 0;
};
