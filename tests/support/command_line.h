// The splitting rule a child's C runtime applies to its command line, for
// checking that quoting gives every argument back exactly. The program name
// is not part of the input.
//   2n backslashes + quote    -> n backslashes, quote toggles quoting
//   2n+1 backslashes + quote  -> n backslashes and a literal quote
//   n backslashes otherwise   -> n backslashes
//   "" inside quotes          -> a literal quote
//   space or tab outside quotes separates arguments
#pragma once

#include <string>
#include <vector>

namespace nuvra::testing {

inline std::vector<std::wstring> splitArguments(const std::wstring& line) {
  std::vector<std::wstring> arguments;
  std::size_t i = 0;
  const std::size_t n = line.size();
  auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  while (true) {
    while (i < n && blank(line[i])) ++i;
    if (i == n) break;
    std::wstring current;
    bool quoted = false;
    while (i < n) {
      const wchar_t c = line[i];
      if (c == L'\\') {
        std::size_t count = 0;
        while (i < n && line[i] == L'\\') ++count, ++i;
        if (i < n && line[i] == L'"') {
          current.append(count / 2, L'\\');
          if (count % 2 == 1) current.push_back(L'"'), ++i;
        } else {
          current.append(count, L'\\');
        }
      } else if (c == L'"') {
        if (quoted && i + 1 < n && line[i + 1] == L'"') {
          current.push_back(L'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else if (blank(c) && !quoted) {
        break;
      } else {
        current.push_back(c);
        ++i;
      }
    }
    arguments.push_back(std::move(current));
  }
  return arguments;
}

}  // namespace nuvra::testing
