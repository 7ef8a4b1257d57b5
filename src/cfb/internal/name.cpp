#include "cfb/internal/name.h"

#include <algorithm>

#include "cfb/internal/upper_table.h"

namespace cellvault::cfb::internal {
namespace {

void append_upper(uint32_t cp, std::string& out) {
  const UpperMulti* mend = kUpperMulti + kUpperMultiCount;
  const UpperMulti* m = std::lower_bound(
      kUpperMulti, mend, cp,
      [](const UpperMulti& e, uint32_t v) { return e.code_point < v; });
  if (m != mend && m->code_point == cp) {
    for (uint32_t u : m->upper) {
      if (u != 0) append_utf8(u, out);
    }
    return;
  }
  const UpperRun* rend = kUpperRuns + kUpperRunCount;
  // The last run whose first code point is not above cp.
  const UpperRun* r = std::upper_bound(
      kUpperRuns, rend, cp,
      [](uint32_t v, const UpperRun& e) { return v < e.first; });
  if (r != kUpperRuns) {
    --r;
    if (cp <= r->last && (cp - r->first) % static_cast<uint32_t>(r->stride) == 0) {
      cp = static_cast<uint32_t>(static_cast<int64_t>(cp) + r->delta);
    }
  }
  append_utf8(cp, out);
}

}  // namespace

std::string to_upper(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for_each_code_point(name, [&](char32_t cp) { append_upper(cp, out); });
  return out;
}

int compare_names(std::string_view a, std::string_view b) {
  const size_t la = utf16_len(a);
  const size_t lb = utf16_len(b);
  if (la != lb) return la < lb ? -1 : 1;
  // std::string compares its chars as unsigned bytes (char_traits<char>
  // compares as unsigned char), which is the byte order wanted here.
  const int c = to_upper(a).compare(to_upper(b));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace cellvault::cfb::internal
