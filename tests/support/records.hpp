// Splits a program's output into the records its printf calls wrote.
#pragma once

#include <string>
#include <vector>

namespace suite {

// One printf call's output: which of the given formats it matched, and its values.
struct Record {
  int kind = -1;
  std::vector<long long> ints;  // %d and %ld values, in order
  std::vector<double> reals;    // %f values, in order
};

struct Parse {
  std::vector<Record> records;
  std::string error;  // empty when the whole output was made of the formats
  bool ok() const { return error.empty(); }
};

// Reads `out` from the start as a sequence of records, each of which must be exactly
// what printf writes for one of `formats` (conversions %d, %ld and %W.Pf), with
// nothing left over. A value is accepted only if printf would render it to the very
// same text, so widths, blanks and digits are checked too.
Parse parse_records(const std::string& out, const std::vector<std::string>& formats);

// Values of field `field` in every record of kind `kind`, in output order.
std::vector<long long> ints_of(const Parse& p, int kind, size_t field = 0);
size_t count_of(const Parse& p, int kind);

}  // namespace suite
