// Readable names for parameterised cases, and which program each case belongs to.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <type_traits>

namespace suite {

// Records that the case named `name` (the part of a test's name after its last '/')
// belongs to `program`; main's --suite_cases lists every test with its program.
void own_case(const std::string& name, const std::string& program);

template <class Param, class = void>
struct HasProgram : std::false_type {};
template <class Param>
struct HasProgram<Param, std::void_t<decltype(std::declval<const Param&>().program)>>
    : std::true_type {};

// The case's printed form, reduced to the characters a test name may hold, after its
// index (which keeps names unique). A case whose parameter names its program (a
// `program` member, or the parameter is the program's name) is recorded as its
// program's, which is how ./tour --check finds a program's cases.
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
    if constexpr (HasProgram<Param>::value)
      own_case(name, info.param.program);
    else if constexpr (std::is_convertible_v<Param, std::string>)
      own_case(name, info.param);
    return name;
  }
};

}  // namespace suite
