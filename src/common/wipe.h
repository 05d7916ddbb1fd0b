// Byte buffers that may hold exchange payloads, standard-input writes or
// secrets are overwritten with zeros before their memory is given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nuvra {

// Zeroes `size` bytes in a way the optimiser may not drop as a dead store.
void wipeBytes(void* data, std::size_t size) noexcept;

// An owned byte buffer that wipes its contents whenever they are released:
// on clear, on assignment over them, on shrinking and on destruction. Growth
// wipes the old storage too, so no copy is left behind in freed memory.
class WipedBytes {
 public:
  WipedBytes() = default;
  explicit WipedBytes(std::string_view bytes) { assign(bytes); }
  WipedBytes(WipedBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  WipedBytes& operator=(WipedBytes&& other) noexcept {
    if (this != &other) {
      clear();
      bytes_ = std::move(other.bytes_);
    }
    return *this;
  }
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  ~WipedBytes() { clear(); }

  void assign(std::string_view bytes);
  void append(std::string_view bytes);
  // New bytes are zero; bytes cut off are wiped first.
  void resize(std::size_t size);
  void reserve(std::size_t capacity);
  // Wipes and frees the storage.
  void clear() noexcept;

  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  std::uint8_t* data() noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }
  std::string_view view() const noexcept {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace nuvra
