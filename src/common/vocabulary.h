// The four closed word sets the addon checks caller words against. They are
// built during static initialisation, before the module entry can run, and are
// never modified afterwards, so lookups need no lock.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace nuvra {

class WordSet {
 public:
  WordSet(std::initializer_list<std::string_view> words);
  WordSet(const WordSet&) = delete;
  WordSet& operator=(const WordSet&) = delete;

  // Exact, case-sensitive membership; nothing is trimmed or folded first.
  bool isMember(std::string_view word) const noexcept;
  std::size_t size() const noexcept { return words_.size(); }

 private:
  std::vector<std::string_view> words_;
};

extern const WordSet operationNames;
extern const WordSet evidenceStages;
extern const WordSet terminalReasons;
extern const WordSet outcomeStates;

inline bool isMember(const WordSet& set, std::string_view word) noexcept {
  return set.isMember(word);
}

}  // namespace nuvra
