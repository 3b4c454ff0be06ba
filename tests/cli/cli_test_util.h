// Helpers of the front-end tests: argument lists for in-process calls.
#pragma once

#include <string>
#include <vector>

#include "support/test_util.h"

namespace test {

// An argv for in-process calls; index 0 is the program path.
struct Args {
  explicit Args(std::vector<std::string> words) : text(std::move(words)) {
    text.insert(text.begin(), "zuv_maintenance");
    for (auto& w : text) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(text.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> text;
  std::vector<char*> ptrs;
};

}  // namespace test
