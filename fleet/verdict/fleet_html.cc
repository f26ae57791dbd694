// kivrule fleet --html: the verdict as one page a vendor opens anywhere, with no network and no
// script: inline SVG line charts drawn here, every text from the logs HTML-escaped.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "fleet/verdict/fleet_verdict.h"

namespace {

constexpr size_t kChartsMax = 24;  // measures drawn; the table has them all

std::string esc(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else if (c < 0x20 || c == 0x7f)
      out += "?";
    else
      out += static_cast<char>(c);
  }
  return out;
}

std::string day_text(int64_t day) {
  const time_t t = static_cast<time_t>(day * 86400);
  struct tm tm {};
  char buf[16] = "?";
  if (gmtime_r(&t, &tm)) strftime(buf, sizeof buf, "%m-%d", &tm);
  return buf;
}

std::string fmt(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

struct series {
  std::string name, colour;
  std::map<int64_t, double> points;  // day -> value
};

// One line chart over the days, the value axis from 0 to the highest finite point.
std::string chart(const std::string& title, const std::vector<series>& all) {
  const double w = 640, h = 220, left = 60, right = 12, top = 28, bottom = 36;
  std::set<int64_t> days;
  double high = 0;
  for (const series& s : all)
    for (const auto& [d, v] : s.points) {
      days.insert(d);
      if (std::isfinite(v)) high = std::max(high, v);
    }
  if (high <= 0) high = 1;
  std::string out =
      "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"640\" height=\"220\" "
      "viewBox=\"0 0 640 220\">";
  out += "<text x=\"8\" y=\"18\" font-size=\"14\">" + esc(title) + "</text>";
  out +=
      "<line x1=\"60\" y1=\"184\" x2=\"628\" y2=\"184\" stroke=\"#888\"/><line x1=\"60\" y1=\"28\" "
      "x2=\"60\" y2=\"184\" stroke=\"#888\"/>";
  out += "<text x=\"4\" y=\"34\" font-size=\"11\">" + fmt(high) +
         "</text><text x=\"40\" y=\"184\" font-size=\"11\">0</text>";
  const std::vector<int64_t> order(days.begin(), days.end());
  auto x_of = [&](int64_t d) {
    const size_t i =
        static_cast<size_t>(std::lower_bound(order.begin(), order.end(), d) - order.begin());
    return order.size() < 2 ? left + (w - left - right) / 2
                            : left + (w - left - right) * static_cast<double>(i) /
                                         static_cast<double>(order.size() - 1);
  };
  for (size_t i = 0; i < order.size(); i += std::max<size_t>(1, order.size() / 8))
    out += "<text x=\"" + fmt(x_of(order[i]) - 14) + "\" y=\"200\" font-size=\"11\">" +
           day_text(order[i]) + "</text>";
  double legend = left;
  for (const series& s : all) {
    std::string pts;
    for (const auto& [d, v] : s.points) {
      const double y =
          top + (h - top - bottom) * (1 - std::min(std::isfinite(v) ? v : high, high) / high);
      pts += fmt(x_of(d)) + "," + fmt(y) + " ";
      out += "<circle cx=\"" + fmt(x_of(d)) + "\" cy=\"" + fmt(y) + "\" r=\"3\" fill=\"" +
             s.colour + "\"/>";
    }
    out += "<polyline class=\"series\" fill=\"none\" stroke-width=\"2\" stroke=\"" + s.colour +
           "\" points=\"" + pts + "\"/>";
    out += "<text x=\"" + fmt(legend) + "\" y=\"216\" font-size=\"11\" fill=\"" + s.colour + "\">" +
           esc(s.name) + "</text>";
    legend += 200;
  }
  return out + "</svg>\n";
}

// Per day the plain rate (no router left out) of a measure in one group.
std::map<int64_t, double> daily_rate(const fleet_state& s, uint64_t published, uint64_t serial,
                                     bool in_stage, uint32_t measure) {
  std::map<int64_t, double> out;
  for (const auto& [key, d] : s.days) {
    if (std::get<0>(key) != published || std::get<1>(key) != serial || std::get<2>(key) != in_stage)
      continue;
    auto at = d.counts.find(measure);
    const double n = at == d.counts.end() ? 0 : static_cast<double>(at->second);
    out[std::get<3>(key)] = d.seconds ? n * 86400000.0 / static_cast<double>(d.seconds) : 0;
  }
  return out;
}

std::string taking_chart(const fleet_state& s, const fleet_verdict& v) {
  std::map<int64_t, double> first;
  for (const auto& [ident, r] : s.routers)
    for (const fleet_entry& e : r.entries)
      if (e.published == v.serial && e.serial == v.serial && fleet_bucket(ident) < e.stage) {
        first[static_cast<int64_t>(e.first_ms / 86400000)] += 1;
        break;
      }
  for (const auto& [key, d] : s.days)  // every day of the window, those without a taker too
    if (std::get<0>(key) == v.serial) first.emplace(std::get<3>(key), 0);
  double sum = 0;
  for (auto& [d, n] : first) n = sum += n;
  return chart("routers on serial " + std::to_string(v.serial) + ", day by day",
               {{"routers that took it", "#1f6feb", first}});
}

}  // namespace

bool write_fleet_html(const std::string& path, const fleet_state& s, const fleet_verdict& v,
                      const fleet_options& o) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>kiv rollout verdict</title>"
      "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
      "td,th{border:1px solid #ccc;padding:2px 8px;text-align:right}.halt{color:#b00}"
      ".go{color:#070}</style></head><body>\n";
  const std::string verdict = v.halt ? "halt" : "go on";
  page += "<h1 id=\"verdict\" class=\"" + std::string(v.halt ? "halt" : "go") +
          "\">verdict: " + verdict + "</h1>\n";
  if (!v.published) {
    page += "<p>No set published in these logs.</p></body></html>\n";
  } else {
    page += "<p>Published serial " + std::to_string(v.serial) + " at " + std::to_string(v.stage) +
            "%; base " + (v.base ? "serial " + std::to_string(*v.base) : std::string("none")) +
            ". Routers in "
            "the stage's buckets: " +
            std::to_string(v.in_stage) + ", took it: " + std::to_string(v.taken) + ". Halt above " +
            fmt(o.factor) + " times the base's rate.</p>\n";
    std::string rose;
    for (const std::string& r : v.reasons) rose += (rose.empty() ? "" : ", ") + esc(r);
    if (!rose.empty()) page += "<p class=\"halt\">rose: " + rose + "</p>\n";
    page += taking_chart(s, v);
    const fleet_segment& all = v.segments.front();
    page +=
        "<table><tr><th>per 1,000 router-days</th><th>rollout</th><th>base</th><th></th></tr>\n";
    for (const fleet_measure& m : all.measures)
      page += "<tr><td>" + esc(m.name) + "</td><td>" + fleet_rate_text(m.rollout) + "</td><td>" +
              fleet_rate_text(m.base) + "</td><td>" + (m.rose ? "rose" : "") + "</td></tr>\n";
    page += "</table>\n";
    size_t drawn = 0;
    for (const fleet_measure& m : all.measures) {
      if (drawn++ == kChartsMax) break;
      const auto id = s.measures.ids.find(m.name);
      if (id == s.measures.ids.end()) continue;
      std::vector<series> lines = {{"in the stage, serial " + std::to_string(v.serial), "#d1242f",
                                    daily_rate(s, v.serial, v.serial, true, id->second)}};
      if (v.base)
        lines.push_back({"outside it, serial " + std::to_string(*v.base), "#1a7f37",
                         daily_rate(s, v.serial, *v.base, false, id->second)});
      page += chart(m.name + " per 1,000 router-days, day by day", lines);
    }
  }
  page += "</body></html>\n";
  const bool ok = std::fputs(page.c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}
