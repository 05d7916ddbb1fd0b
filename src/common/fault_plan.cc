#include "common/fault_plan.h"

#include <charconv>

namespace nuvra {
namespace {

bool siteCharacter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// A decimal of 1 to 10 digits without a leading zero that fits 32 bits.
std::optional<std::uint32_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<FaultArm> parseArm(std::string_view entry) {
  const std::size_t first = entry.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = entry.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view site = entry.substr(0, first);
  if (site.empty() || site.size() > 64) return std::nullopt;
  for (const char c : site) {
    if (!siteCharacter(c)) return std::nullopt;
  }
  const auto nth = decimal(entry.substr(first + 1, second - first - 1));
  const auto error = decimal(entry.substr(second + 1));
  if (!nth || !error) return std::nullopt;
  return FaultArm{std::string(site), *nth, *error};
}

}  // namespace

std::optional<std::vector<FaultArm>> parseFaultPlan(std::string_view text) {
  std::vector<FaultArm> arms;
  if (text.empty()) return arms;
  for (;;) {
    const std::size_t comma = text.find(',');
    auto arm = parseArm(text.substr(0, comma));
    if (!arm || arms.size() == 64) return std::nullopt;
    arms.push_back(std::move(*arm));
    if (comma == std::string_view::npos) return arms;
    text.remove_prefix(comma + 1);
  }
}

FaultPlan::FaultPlan(std::vector<FaultArm> arms)
    : arms_(std::move(arms)), calls_(arms_.size(), 0) {}

bool FaultPlan::fires(std::string_view site, std::string_view detail, std::uint32_t& error) {
  std::lock_guard<std::mutex> guard(lock_);
  for (std::size_t i = 0; i < arms_.size(); ++i) {
    const std::string_view armed = arms_[i].site;
    const bool named = detail.empty() ? armed == site
                                      : armed.size() == site.size() + 1 + detail.size() &&
                                            armed.starts_with(site) && armed[site.size()] == '.' &&
                                            armed.ends_with(detail);
    // Each arm counts its site's calls up to its own n-th and no further.
    if (!named || calls_[i] >= arms_[i].nth) continue;
    if (++calls_[i] == arms_[i].nth) {
      error = arms_[i].error;
      return true;
    }
  }
  return false;
}

}  // namespace nuvra
