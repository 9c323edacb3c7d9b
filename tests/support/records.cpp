#include "records.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace suite {
namespace {

// Length of a number token at text[pos]: blanks, an optional sign, digits and, for a
// real, a point and more digits.
size_t number_length(const std::string& text, size_t pos, bool real) {
  size_t i = pos;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && text[i] == '-') ++i;
  size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return 0;
  if (real) {
    if (i >= text.size() || text[i] != '.') return 0;
    size_t frac = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == frac) return 0;
  }
  return i - pos;
}

// Matches one format at text[pos]; on success returns the record's length.
size_t match(const std::string& fmt, const std::string& text, size_t pos, Record& rec) {
  size_t t = pos;
  for (size_t f = 0; f < fmt.size(); ++f) {
    if (fmt[f] != '%') {
      if (t >= text.size() || text[t] != fmt[f]) return 0;
      ++t;
      continue;
    }
    size_t end = fmt.find_first_of("df", f);
    if (end == std::string::npos) return 0;
    std::string conversion = fmt.substr(f, end - f + 1);
    bool real = fmt[end] == 'f';
    size_t len = number_length(text, t, real);
    if (len == 0) return 0;
    std::string token = text.substr(t, len);
    char rendered[64];
    if (real) {
      double v = std::strtod(token.c_str(), nullptr);
      std::snprintf(rendered, sizeof rendered, conversion.c_str(), v);
      rec.reals.push_back(v);
    } else {
      long long v = std::strtoll(token.c_str(), nullptr, 10);
      std::snprintf(rendered, sizeof rendered, "%lld", v);
      rec.ints.push_back(v);
    }
    if (token != rendered) return 0;
    t += len;
    f = end;
  }
  return t - pos;
}

std::string excerpt(const std::string& text, size_t pos) {
  std::string s = text.substr(pos, 60);
  std::string shown;
  for (char c : s)
    shown += c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t") : std::string(1, c);
  return shown;
}

}  // namespace

Parse parse_records(const std::string& out, const std::vector<std::string>& formats) {
  Parse p;
  size_t pos = 0;
  while (pos < out.size()) {
    bool found = false;
    for (size_t k = 0; k < formats.size() && !found; ++k) {
      Record rec;
      rec.kind = static_cast<int>(k);
      size_t len = match(formats[k], out, pos, rec);
      if (len > 0) {
        p.records.push_back(rec);
        pos += len;
        found = true;
      }
    }
    if (!found) {
      p.error = "unexpected output at byte " + std::to_string(pos) + " (record " +
                std::to_string(p.records.size()) + "): \"" + excerpt(out, pos) + "\"";
      return p;
    }
  }
  return p;
}

std::vector<long long> ints_of(const Parse& p, int kind, size_t field) {
  std::vector<long long> v;
  for (const Record& r : p.records)
    if (r.kind == kind) v.push_back(r.ints.at(field));
  return v;
}

size_t count_of(const Parse& p, int kind) {
  size_t n = 0;
  for (const Record& r : p.records) n += r.kind == kind;
  return n;
}

}  // namespace suite
