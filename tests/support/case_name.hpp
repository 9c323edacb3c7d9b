// Readable names for parameterised cases: the case's printed form, reduced to the
// characters a test name may hold, after its index (which keeps names unique).
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>

namespace suite {

struct CaseName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    std::ostringstream printed;
    printed << info.param;
    std::string name = std::to_string(info.index) + "_";
    for (char c : printed.str()) {
      bool keep = std::isalnum(static_cast<unsigned char>(c)) != 0;
      if (keep)
        name += c;
      else if (name.back() != '_')
        name += '_';
    }
    while (name.back() == '_') name.pop_back();
    return name;
  }
};

}  // namespace suite
