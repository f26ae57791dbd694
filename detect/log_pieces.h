// Cutting the system log into the pieces the syslog monitor's line read gives: up to and
// including the line end, at most KIV_PIECE_MAX characters, so that a longer line arrives as
// several pieces. The daemon's follower, the rule author's replay of a log and the look for
// kiv's own lines all cut with this, so each sees a line in the same pieces and places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "rules/monitor_profile.h"

// Characters one line read takes: a longer line arrives as several pieces.
inline constexpr size_t KIV_PIECE_MAX = 255;
// Length of the next piece of the `avail` bytes at `text`, as the line read gives it: up to and
// including the line end, at most KIV_PIECE_MAX characters, or the rest once the input has
// ended (`at_end`); 0 while it is not complete. *line_end tells whether it ends with '\n'.
size_t next_piece_length(const char* text, size_t avail, bool at_end, bool* line_end);

// Bytes of the log as they came, cut into pieces where they lie: a piece is ended in place (its
// line end, or the first byte of the next piece, kept aside until the next piece is taken), so
// a line is neither allocated nor copied. The caller reads into the room behind the data.
struct piece_buffer {
  std::vector<char> data = std::vector<char>(65536 + 1);  // one byte for the end of a last piece
  size_t start = 0;
  size_t end = 0;
  char* saved_at = nullptr;  // byte overwritten by the end of the piece handed out last
  char saved = 0;
  bool mid_line = false;  // the last piece handed out did not end its line
  uint64_t line = 0;      // the line the last piece belongs to, counted from 1
};

// One piece as it is handed out: zero-terminated in place, its line end cut.
struct cut_piece {
  char* text = nullptr;
  size_t length = 0;  // up to the cut line end; a zero byte inside counts
  size_t taken = 0;   // bytes of the log it took, its line end included
  line_place place;
  uint64_t line = 0;
};

// The next complete piece; none (text null) while there is none. With `at_end` (the input has
// ended) the rest counts as a last piece, and as its line's end.
cut_piece take_piece(piece_buffer& b, bool at_end);
// Room to read into behind the data (the data moved to the front first); *room its size.
char* piece_room(piece_buffer& b, size_t* room);
// `n` bytes were read into the room.
inline void pieces_read(piece_buffer& b, size_t n) {
  b.end += n;
}
// Forgets what is buffered: a new source starts at a line's beginning. Lines go on counting.
void forget_pieces(piece_buffer& b);

// Each piece of a complete text as the log holds it (lines ended by '\n'; the rest after the last
// one is an unterminated last line), in order and in the places the follower hands them out.
void for_each_piece(std::string_view text,
                    const std::function<void(std::string_view piece, line_place place)>& fn);
