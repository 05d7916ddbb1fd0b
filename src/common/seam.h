// A seam: where a lower layer must call into a higher one without naming it.
// The lower layer declares a struct of hooks and one Seam of it; the module
// file installs the higher subsystems' hooks once, at registration, before
// any call can reach them. A hook left null keeps the lower layer's own
// documented default.
#pragma once

#include <atomic>

namespace nuvra {

template <typename Hooks>
class Seam {
 public:
  void install(const Hooks* hooks) noexcept { hooks_.store(hooks); }
  // The installed hooks, or an empty set.
  const Hooks& hooks() const noexcept {
    static const Hooks kNone{};
    const Hooks* installed = hooks_.load();
    return installed != nullptr ? *installed : kNone;
  }

 private:
  std::atomic<const Hooks*> hooks_{nullptr};
};

}  // namespace nuvra
