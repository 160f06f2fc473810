#include "secure/payload_cipher.h"

#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/rijndael.h>

namespace nevrik {

void CryptPayload(const SessionKeys& keys, const std::uint8_t* input, std::uint8_t* output,
                  std::size_t length) {
  if (length == 0) {
    return;
  }
  CryptoPP::CTR_Mode<CryptoPP::Rijndael>::Encryption encryptor(
      keys.frameKey.data(), keys.frameKey.size(), keys.initialCounter.data());
  // The filter keeps everything it transforms until Get, so input and output may overlap.
  CryptoPP::StreamTransformationFilter filter(encryptor, nullptr,
                                              CryptoPP::StreamTransformationFilter::NO_PADDING);
  filter.Put(input, length);
  filter.MessageEnd();
  filter.Get(output, length);
}

}  // namespace nevrik
