// The text of a record, "[KIV][" func ":(" line ")]" and the message, cut to kMaxRecord bytes,
// and its console copy. Most records have a format of plain text, "%s", "%d" and "%%": those are
// put together here by hand, since vsnprintf cost more than the rest of the record on the path
// of every log line; any other format goes to vsnprintf. A record is made where it will be held
// (the thread's walk buffer, core/log_walk.cc) or on the stack and written at once
// (core/log_file.cc).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/kiv_log.h"
#include "core/log_internal.h"
#include "platform/platform.h"

namespace {

// A record being made: at most kMaxRecord bytes kept of a text of `full` bytes. A longer record
// is cut, and keeps the line end its message had.
struct record_builder {
  char* out;
  size_t at = 0;
  size_t full = 0;
  char last = 0;  // last byte of the whole text

  void put(const char* text, size_t n) {
    if (n == 0) return;
    size_t room = kMaxRecord - at;
    size_t k = n < room ? n : room;
    memcpy(out + at, text, k);
    at += k;
    full += n;
    last = text[n - 1];
  }
  void put(const char* text) { put(text, strlen(text)); }
  void put_int(long value) {
    char digits[24];
    size_t n = sizeof digits;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[--n] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--n] = '-';
    put(digits + n, sizeof digits - n);
  }
  size_t finish() {
    if (full > kMaxRecord && last == '\n') out[kMaxRecord - 1] = '\n';
    return at;
  }
};

// The pieces of a record one after another at `out`; cut by a record_builder when they are
// longer together than a record may be. Returns the record's length.
size_t put_pieces(char* out, std::initializer_list<std::string_view> pieces) {
  size_t total = 0;
  for (std::string_view piece : pieces) total += piece.size();
  if (total > kMaxRecord) {
    record_builder b{out};
    for (std::string_view piece : pieces) b.put(piece.data(), piece.size());
    return b.finish();
  }
  char* at = out;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    memcpy(at, piece.data(), piece.size());
    at += piece.size();
  }
  return total;
}

// "[KIV][" func ":(" line ")]"; built by hand because it is written in front of every record
// and a format would cost more than the rest of the record.
void put_head(record_builder& b, const char* func, int line) {
  const size_t name = func ? strlen(func) : 0;
  if (b.at != 0 || name > 64 || line < 0) {  // not the usual head: piece by piece
    b.put("[KIV][", 6);
    b.put(func ? func : "");
    b.put(":(", 2);
    b.put_int(line);
    b.put(")]", 2);
    return;
  }
  // The usual head, at most 6 + 64 + 2 + 10 + 2 bytes, written straight into the record.
  char* out = b.out;
  memcpy(out, "[KIV][", 6);
  memcpy(out + 6, func, name);
  size_t at = 6 + name;
  out[at++] = ':';
  out[at++] = '(';
  char digits[12];
  size_t n = 0;
  for (unsigned v = static_cast<unsigned>(line); n == 0 || v != 0; v /= 10)
    digits[n++] = static_cast<char>('0' + v % 10);
  while (n > 0) out[at++] = digits[--n];
  out[at++] = ')';
  out[at++] = ']';
  b.at = b.full = at;
  b.last = ']';
}

// The message when its format has only text, "%s" (of a text that is there), "%d" and "%%",
// as most records do; false for anything else, which vsnprintf then formats.
bool put_simple(record_builder& b, const char* fmt, va_list ap) {
  for (const char* at = fmt; *at;) {
    const char* percent = strchr(at, '%');
    if (!percent) {
      b.put(at);
      return true;
    }
    b.put(at, static_cast<size_t>(percent - at));
    if (percent[1] == 's') {
      const char* text = va_arg(ap, const char*);
      if (!text) return false;  // what the C library prints for none is its own affair
      b.put(text);
    } else if (percent[1] == 'd') {
      b.put_int(va_arg(ap, int));
    } else if (percent[1] == '%') {
      b.put("%", 1);
    } else {
      return false;
    }
    at = percent + 2;
  }
  return true;
}

// The message through vsnprintf, behind a head of `head` bytes.
void put_formatted(record_builder& b, size_t head, const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  b.at = b.full = head;
  int body = vsnprintf(b.out + head, kMaxRecord + 1 - head, fmt, ap);
  if (body > 0) {
    b.full = head + static_cast<size_t>(body);
    b.at = b.full < kMaxRecord ? b.full : kMaxRecord;
    if (b.full <= kMaxRecord) {
      b.last = b.out[b.full - 1];
    } else {  // too long: the last byte is looked for in the whole message (rare path)
      std::string message(static_cast<size_t>(body) + 1, '\0');
      vsnprintf(message.data(), message.size(), fmt, again);
      b.last = message[static_cast<size_t>(body) - 1];
    }
  }
  va_end(again);
}

// A record made at `record` (a walk slot or a buffer of the caller): to the walk buffer or to
// the file, and to the console.
void emit(const char* record, size_t len, bool in_walk) {
  if (in_walk) {
    log_walk_commit(record, len);
    return;
  }
  log_file_write(record, len);
  // Console copy: the record without the "[KIV]" tag.
  if (len > 5 && nvram_match("kiv_debug_flag", "1")) console_write(record + 5, len - 5);
}

}  // namespace

void kiv_log(const char* func, int line, const char* fmt, ...) {
  if (log_discarding.load(std::memory_order_relaxed)) return;
  char local[kMaxRecord + 1];
  char* slot = log_walk_slot();
  record_builder b{slot ? slot : local};
  put_head(b, func, line);
  const size_t head = b.at;
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  if (!put_simple(b, fmt, ap)) put_formatted(b, head, fmt, again);
  va_end(again);
  va_end(ap);
  emit(b.out, b.finish(), slot != nullptr);
}

std::string kiv_log_head(const char* func, int line) {
  char out[kMaxRecord + 1];
  record_builder b{out};
  put_head(b, func, line);
  return std::string(out, b.at);
}

void kiv_log_pieces(std::initializer_list<std::string_view> pieces) {
  if (log_discarding.load(std::memory_order_relaxed)) return;
  char local[kMaxRecord + 1];
  char* slot = log_walk_slot();
  char* out = slot ? slot : local;
  emit(out, put_pieces(out, pieces), slot != nullptr);
}

std::string kiv_log_made(std::initializer_list<std::string_view> pieces) {
  char out[kMaxRecord + 1];
  return std::string(out, put_pieces(out, pieces));
}

void kiv_log_records(const std::string_view* made, size_t count) {
  if (log_discarding.load(std::memory_order_relaxed) || count == 0) return;
  size_t total = 0;
  bool whole = count <= kMaxMadeRun;
  for (size_t r = 0; r < count && whole; ++r) {
    total += made[r].size();
    whole = made[r].size() <= kMaxRecord;
  }
  char* at = whole ? log_walk_room(total, static_cast<uint32_t>(count)) : nullptr;
  if (!at) {  // not walking, a record to be cut or a long run: one by one
    for (size_t r = 0; r < count; ++r) kiv_log_pieces({made[r]});
    return;
  }
  char* to = at;
  for (size_t r = 0; r < count; ++r) {
    memcpy(to, made[r].data(), made[r].size());
    to += made[r].size();
  }
  log_walk_commit_run(at, made, static_cast<uint32_t>(count));
}

int console_debug_printf(const char* fmt, ...) {
  if (!nvram_match("kiv_debug_flag", "1")) return 0;
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n <= 0) return n;
  console_write(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
  return n;
}
