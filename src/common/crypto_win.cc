#include "common/crypto_win.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

#include "common/fault_injection.h"
#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

std::string sha256Hex(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<ULONG>::max()) fail("profile_hash");
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(NUVRA_INJECT(
          "hash.provider", static_cast<NTSTATUS>(0xC0000001L),
          BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))) {
    fail("profile_hash");
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  // BCryptHashData takes a non-const pointer but does not write through it.
  auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
  const bool hashed =
      BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
      BCRYPT_SUCCESS(BCryptHashData(hash, input, static_cast<ULONG>(bytes.size()), 0)) &&
      BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!hashed) fail("profile_hash");
  return hexLower(std::string_view(reinterpret_cast<const char*>(digest), sizeof(digest)));
}

void randomBytes(void* buffer, std::size_t count, const char* failureReason) {
  if (count > std::numeric_limits<ULONG>::max() ||
      !BCRYPT_SUCCESS(NUVRA_INJECT_KEYED(
          "crypto.random", failureReason, static_cast<NTSTATUS>(0xC0000001L),
          BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(count),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG)))) {
    fail(failureReason);
  }
}

}  // namespace nuvra
