#include "common/wipe.h"

#include <cstring>

namespace nuvra {

void wipeBytes(void* data, std::size_t size) noexcept {
  if (data == nullptr || size == 0) return;
  // Stores through a volatile pointer are observable behaviour, so they
  // survive even when the memory is freed right after.
  volatile auto* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

void WipedBytes::assign(std::string_view bytes) {
  clear();
  append(bytes);
}

void WipedBytes::reserve(std::size_t capacity) {
  if (capacity <= bytes_.capacity()) return;
  // Grow by hand: letting the vector reallocate would free the old storage
  // without wiping it.
  std::vector<std::uint8_t> larger;
  larger.reserve(capacity);
  larger.assign(bytes_.begin(), bytes_.end());
  clear();
  bytes_ = std::move(larger);
}

void WipedBytes::resize(std::size_t size) {
  if (size < bytes_.size()) {
    wipeBytes(bytes_.data() + size, bytes_.size() - size);
  } else {
    reserve(size);
  }
  bytes_.resize(size);
}

void WipedBytes::append(std::string_view bytes) {
  reserve(bytes_.size() + bytes.size());
  const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.data());
  bytes_.insert(bytes_.end(), first, first + bytes.size());
}

void WipedBytes::clear() noexcept {
  wipeBytes(bytes_.data(), bytes_.size());
  std::vector<std::uint8_t>().swap(bytes_);
}

}  // namespace nuvra
