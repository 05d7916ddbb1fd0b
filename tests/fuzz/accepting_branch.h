// A target's oracle runs only for inputs its parser accepts; a run that never
// got there checked nothing. Each target names its accepting branches with
// one of these at file scope and marks them when reached; the count is
// printed when the fuzzer exits, and the test command refuses a run with a
// branch reached 0 times (or with no such line at all, as after a crash).
#pragma once

#include <cstddef>
#include <cstdio>

namespace nuvra::fuzzing {

class AcceptingBranch {
 public:
  explicit AcceptingBranch(const char* name) : name_(name) {}
  AcceptingBranch(const AcceptingBranch&) = delete;
  AcceptingBranch& operator=(const AcceptingBranch&) = delete;
  // libFuzzer ends a bounded run with exit(), which runs this.
  ~AcceptingBranch() {
    std::fprintf(stderr, "accepting branch %s reached %zu times\n", name_, count_);
  }

  void reached() noexcept { ++count_; }

 private:
  const char* name_;
  std::size_t count_ = 0;
};

}  // namespace nuvra::fuzzing
