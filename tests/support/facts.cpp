#include "facts.hpp"

#include <cmath>
#include <cstdio>

namespace suite {
namespace {

// The texts of the Trace scopes open now, outermost first.
std::vector<std::string>& open_traces() {
  static std::vector<std::string> traces;
  return traces;
}

// Whether the current test has recorded a failed check already: its first stays, as the
// first failure is the one ./tour --check tells.
bool has_facts(const ::testing::TestInfo& test) {
  const ::testing::TestResult& result = *test.result();
  for (int k = 0; k < result.test_property_count(); ++k)
    if (std::string(result.GetTestProperty(k).key()) == "compared_what") return true;
  return false;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  size_t used = 0;
  for (; used < text.size() && out.size() < kFactLength; ++used) {
    const auto byte = static_cast<unsigned char>(text[used]);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (used < text.size()) out += "... (" + std::to_string(text.size() - used) + " more)";
  return out;
}

std::string shown(const std::string& text) { return "\"" + text + "\""; }

std::string shown(const std::vector<long long>& values) {
  std::string out = "{";
  for (size_t k = 0; k < values.size(); ++k) out += (k > 0 ? ", " : "") + std::to_string(values[k]);
  return out + "}";
}

std::string shown(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

void check_failed(const char* file, int line, const std::string& what, const std::string& got,
                  const std::string& want) {
  std::string when;
  for (const std::string& trace : open_traces()) when += (when.empty() ? "" : ", ") + trace;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test != nullptr && !has_facts(*test)) {
    ::testing::Test::RecordProperty("compared_what", printable(what));
    if (!got.empty() || !want.empty()) {
      ::testing::Test::RecordProperty("compared_got", printable(got));
      ::testing::Test::RecordProperty("compared_want", printable(want));
    }
    if (!when.empty()) ::testing::Test::RecordProperty("compared_when", printable(when));
  }
  std::string said = what;
  if (!got.empty() || !want.empty())
    said += ": the lesson gives " + want + ", the program gave " + got;
  ADD_FAILURE_AT(file, line) << said;
}

bool check_near(const char* file, int line, const std::string& what, double got, double want,
                double tolerance) {
  if (std::fabs(got - want) <= tolerance) return true;
  check_failed(file, line, what, shown(got), shown(want) + " (within " + shown(tolerance) + ")");
  return false;
}

bool check_that(const char* file, int line, bool ok, const std::string& what) {
  if (!ok) check_failed(file, line, what);
  return ok;
}

bool check_that(const char* file, int line, const ::testing::AssertionResult& ok) {
  if (!ok) check_failed(file, line, ok.message());
  return static_cast<bool>(ok);
}

Trace::Trace(const char* file, int line, const std::string& text) : trace_(file, line, text) {
  open_traces().push_back(text);
}

Trace::~Trace() { open_traces().pop_back(); }

}  // namespace suite
