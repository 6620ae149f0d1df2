// Test helper: the what() text of whatever std::exception fn throws, or
// "(nothing thrown)", so tests compare exact messages in one assertion.
#pragma once

#include <exception>
#include <string>

namespace ombrix::testing_support {

template <typename Fn>
std::string ErrorText(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace ombrix::testing_support
