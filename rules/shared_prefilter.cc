// The shared prefilter is built as a trie of the distinct literals (children as sibling lists
// while it grows), then numbered breadth first, given its failure links and laid out with each
// state's edges side by side, sorted by byte; the first kSharedPrefilterRows states also get a
// full row of 256 next states (their failures followed already). A scan follows the automaton one
// byte at a time: the row where the state has one, else an edge of the state or of the states on
// its failure chain, down to one with a row; every literal ending at the state reached, or on its
// failure chain, is marked found.
#include "rules/shared_prefilter.h"

#include <algorithm>
#include <string>
#include <utility>

namespace {

constexpr uint16_t kNoLiteral = 0xffff;
static_assert(kSharedPrefilterStates <= kNoLiteral, "states and literals are numbered in 16 bits");

// The literals' trie as it grows.
struct trie {
  std::vector<uint16_t> first_child{0}, next_sibling{0}, literal{kNoLiteral};
  std::vector<uint8_t> byte{0};
  uint32_t literals = 0;

  uint32_t child(uint32_t s, uint8_t c) const {
    for (uint32_t t = first_child[s]; t != 0; t = next_sibling[t])
      if (byte[t] == c) return t;
    return 0;
  }
  // States the literal would add; an upper bound for several literals of one rule.
  size_t missing(const std::string& text) const {
    uint32_t s = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const uint32_t t = child(s, static_cast<uint8_t>(text[i]));
      if (t == 0) return text.size() - i;
      s = t;
    }
    return 0;
  }
  // The literal's id, adding the states it lacks.
  uint16_t insert(const std::string& text) {
    uint32_t s = 0;
    for (char ch : text) {
      const uint8_t c = static_cast<uint8_t>(ch);
      uint32_t t = child(s, c);
      if (t == 0) {
        t = static_cast<uint32_t>(byte.size());
        byte.push_back(c);
        literal.push_back(kNoLiteral);
        first_child.push_back(0);
        next_sibling.push_back(first_child[s]);
        first_child[s] = static_cast<uint16_t>(t);
      }
      s = t;
    }
    if (literal[s] == kNoLiteral) literal[s] = static_cast<uint16_t>(literals++);
    return literal[s];
  }
};

// The rules' literals in the trie, rule by rule while they fit.
trie take_literals(const std::vector<monitor_profile>& profiles, shared_prefilter* f) {
  trie t;
  f->rule_at.assign(1, 0);
  for (const monitor_profile& p : profiles) {
    const std::vector<std::string>& literals = p.pattern.literals;
    size_t need = 0;
    for (const std::string& l : literals) need += t.missing(l);
    const bool fits = t.byte.size() + need <= kSharedPrefilterStates;
    if (fits && has_expression(p))
      for (const std::string& l : literals)
        if (!l.empty()) f->rule_literal.push_back(t.insert(l));  // "" is in every text
    f->rule_at.push_back(static_cast<uint32_t>(f->rule_literal.size()));
  }
  return t;
}

// The states numbered breadth first (the root 0, then by depth), so that a state's failure is
// numbered before it and the shallow states, where a scan spends most of its bytes, come first.
std::vector<uint32_t> breadth_first(const trie& t) {
  std::vector<uint32_t> order{0};
  for (size_t at = 0; at < order.size(); ++at)
    for (uint32_t c = t.first_child[order[at]]; c != 0; c = t.next_sibling[c]) order.push_back(c);
  return order;
}

// The automaton in breadth-first numbering: each state's edges side by side, sorted by byte, its
// failure link, the nearest literal on its chain, and the full rows of the first states.
void lay_out(const trie& t, shared_prefilter* f) {
  const std::vector<uint32_t> order = breadth_first(t);
  const size_t n = order.size();
  std::vector<uint16_t> number(n);
  for (size_t i = 0; i < n; ++i) number[order[i]] = static_cast<uint16_t>(i);
  f->edges_at.assign(n + 1, 0);
  f->edge_byte.reserve(n - 1);
  f->edge_to.reserve(n - 1);
  f->fail.assign(n, 0);
  f->out.assign(n, 0);
  f->literal.assign(n, kNoLiteral);
  std::vector<std::pair<uint8_t, uint16_t>> edges;
  for (size_t s = 0; s < n; ++s) {
    const uint32_t old = order[s];
    f->literal[s] = t.literal[old];
    edges.clear();
    for (uint32_t c = t.first_child[old]; c != 0; c = t.next_sibling[c])
      edges.emplace_back(t.byte[c], number[c]);
    std::sort(edges.begin(), edges.end());
    for (const auto& [b, to] : edges) {
      f->edge_byte.push_back(b);
      f->edge_to.push_back(to);
      // A child's failure: the longest proper suffix of its text that is a state.
      uint32_t back = 0;
      if (s != 0) {
        uint32_t g = f->fail[s];
        while (g != 0 && f->child(g, b) == 0) g = f->fail[g];
        back = f->child(g, b);
      }
      f->fail[to] = static_cast<uint16_t>(back);
    }
    f->edges_at[s + 1] = static_cast<uint32_t>(f->edge_byte.size());
    f->out[s] = f->literal[s] != kNoLiteral ? static_cast<uint16_t>(s) : f->out[f->fail[s]];
  }
  f->rows = static_cast<uint32_t>(std::min<size_t>(n, kSharedPrefilterRows));
  f->row.assign(size_t{f->rows} * 256, 0);
  for (uint32_t s = 0; s < f->rows; ++s)
    for (uint32_t c = 0; c < 256; ++c) {
      const uint32_t to = f->child(s, static_cast<uint8_t>(c));
      f->row[s * 256 + c] =
          static_cast<uint16_t>(to != 0 || s == 0 ? to : f->row[f->fail[s] * 256 + c]);
    }
}

}  // namespace

size_t shared_prefilter::bytes() const {
  return sizeof *this + edges_at.capacity() * sizeof(uint32_t) + edge_byte.capacity() +
         (row.capacity() + edge_to.capacity() + fail.capacity() + out.capacity() +
          literal.capacity() + rule_literal.capacity()) *
             sizeof(uint16_t) +
         rule_at.capacity() * sizeof(uint32_t);
}

uint32_t shared_prefilter::child(uint32_t s, uint8_t c) const {
  for (uint32_t e = edges_at[s]; e < edges_at[s + 1] && edge_byte[e] <= c; ++e)
    if (edge_byte[e] == c) return edge_to[e];
  return 0;
}

shared_prefilter build_shared_prefilter(const std::vector<monitor_profile>& profiles,
                                        size_t fewest) {
  shared_prefilter f;
  trie t = take_literals(profiles, &f);
  size_t taken = 0;
  for (size_t k = 0; k < profiles.size(); ++k) taken += f.rule_at[k + 1] > f.rule_at[k];
  if (taken < fewest) return {};
  f.rules = static_cast<uint32_t>(profiles.size());
  f.literals = t.literals;
  lay_out(t, &f);
  f.rule_literal.shrink_to_fit();
  return f;
}

void scan_shared_prefilter(const shared_prefilter& f, size_t profiles, std::string_view text,
                           prefilter_scan* scan) {
  scan->of = nullptr;
  if (f.literals == 0 || f.rules != profiles) return;
  scan->of = &f;
  if (scan->seen.size() != f.literals) {
    scan->seen.assign(f.literals, 0);
    scan->stamp = 0;
  }
  if (++scan->stamp == 0) {  // the stamps went round: start them again
    std::fill(scan->seen.begin(), scan->seen.end(), 0);
    scan->stamp = 1;
  }
  const uint32_t stamp = scan->stamp;
  uint32_t* seen = scan->seen.data();
  const uint32_t* edges_at = f.edges_at.data();
  const uint8_t* edge_byte = f.edge_byte.data();
  const uint16_t* edge_to = f.edge_to.data();
  const uint16_t* fail = f.fail.data();
  const uint16_t* out = f.out.data();
  const uint16_t* literal = f.literal.data();
  const uint16_t* row = f.row.data();
  const uint32_t rows = f.rows;
  const char* at = text.data();
  const char* const end = at + text.size();
  uint32_t s = 0;
  while (at < end) {
    if (s == 0) {  // at the root most bytes start no literal: step over them at once
      while (at < end && row[static_cast<uint8_t>(*at)] == 0) ++at;
      if (at == end) break;
    }
    const uint8_t c = static_cast<uint8_t>(*at++);
    if (s < rows) {
      s = row[s * 256 + c];
    } else {
      for (;;) {  // an edge of the state, else its failure, down to a state with a full row
        const uint32_t last = edges_at[s + 1];
        uint32_t e = edges_at[s];
        while (e < last && edge_byte[e] < c) ++e;
        if (e < last && edge_byte[e] == c) {
          s = edge_to[e];
          break;
        }
        s = fail[s];
        if (s < rows) {
          s = row[s * 256 + c];
          break;
        }
      }
    }
    for (uint32_t o = out[s]; o != 0; o = out[fail[o]]) seen[literal[o]] = stamp;
  }
}
