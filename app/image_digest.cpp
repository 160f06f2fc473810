#include "app/image_digest.h"

#include <cryptopp/sha.h>

namespace nevrik {

std::array<std::uint8_t, ImageDigestSize> ImageSha256(const FirmwarePack& pack) {
  static_assert(ImageDigestSize == CryptoPP::SHA256::DIGESTSIZE);
  std::array<std::uint8_t, ImageDigestSize> digest{};
  const std::span<const std::uint8_t> image = pack.Image();
  CryptoPP::SHA256().CalculateDigest(digest.data(), image.data(), image.size());
  return digest;
}

}  // namespace nevrik
