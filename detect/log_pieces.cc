#include "detect/log_pieces.h"

#include <cstring>
#include <string>

size_t next_piece_length(const char* text, size_t avail, bool at_end, bool* line_end) {
  const size_t limit = avail < KIV_PIECE_MAX ? avail : KIV_PIECE_MAX;
  const char* nl = static_cast<const char*>(memchr(text, '\n', limit));
  *line_end = nl != nullptr;
  if (nl) return static_cast<size_t>(nl - text) + 1;
  // A full piece of a longer line, or the rest before the input ended.
  if (limit == KIV_PIECE_MAX || at_end) return limit;
  return 0;
}

namespace {

void restore_saved(piece_buffer& b) {
  if (b.saved_at) *b.saved_at = b.saved;
  b.saved_at = nullptr;
}

}  // namespace

cut_piece take_piece(piece_buffer& b, bool at_end) {
  restore_saved(b);
  cut_piece out;
  char* begin = b.data.data() + b.start;
  bool line_end = false;
  const size_t n = next_piece_length(begin, b.end - b.start, at_end, &line_end);
  if (n == 0) return out;
  out.place.at_start = !b.mid_line;
  out.place.at_end = line_end || (at_end && b.start + n == b.end);
  if (out.place.at_start) ++b.line;
  b.mid_line = !out.place.at_end;
  if (line_end) {
    begin[n - 1] = '\0';  // the line end goes, as trimNL would take it
  } else {
    if (b.start + n < b.end) {
      b.saved_at = begin + n;
      b.saved = *b.saved_at;
    }
    begin[n] = '\0';
  }
  b.start += n;
  if (b.start == b.end) b.start = b.end = 0;  // the next read starts at the front again
  out.text = begin;
  out.length = line_end ? n - 1 : n;
  out.taken = n;
  out.line = b.line;
  return out;
}

char* piece_room(piece_buffer& b, size_t* room) {
  restore_saved(b);
  if (b.start > 0) {  // make room behind the partial piece
    memmove(b.data.data(), b.data.data() + b.start, b.end - b.start);
    b.end -= b.start;
    b.start = 0;
  }
  *room = b.data.size() - 1 - b.end;
  return b.data.data() + b.end;
}

void forget_pieces(piece_buffer& b) {
  b.saved_at = nullptr;
  b.start = b.end = 0;
  b.mid_line = false;
}

void for_each_piece(std::string_view text,
                    const std::function<void(std::string_view piece, line_place place)>& fn) {
  bool mid_line = false;
  for (size_t at = 0; at < text.size();) {
    bool line_end = false;
    const size_t n = next_piece_length(text.data() + at, text.size() - at, true, &line_end);
    const line_place place{!mid_line, line_end || at + n == text.size()};
    fn(text.substr(at, line_end ? n - 1 : n), place);
    mid_line = !place.at_end;
    at += n;
  }
}
