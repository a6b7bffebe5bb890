// Rows of the table-driven tests: a row with a name (or a label) prints as
// that name in gtest's messages and names its test case. A test file brings
// the printer into the namespace of its rows with `using test_rows::operator<<;`
// and passes test_rows::row_name to INSTANTIATE_TEST_SUITE_P.
#pragma once

#include <concepts>
#include <ostream>
#include <string>

namespace test_rows {

template <class Row>
concept named = requires(const Row& r) {
  { r.name } -> std::convertible_to<const char*>;
}
|| requires(const Row& r) {
  { r.label } -> std::convertible_to<const char*>;
};

template <named Row>
const char* name_of(const Row& r) {
  if constexpr (requires { r.name; })
    return r.name;
  else
    return r.label;
}

template <named Row>
std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << name_of(r);
}

inline constexpr auto row_name = [](const auto& info) { return std::string(name_of(info.param)); };

}  // namespace test_rows
