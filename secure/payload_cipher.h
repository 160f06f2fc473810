#pragma once

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <cryptopp/secblock.h>

#include <cstddef>
#include <cstdint>

#include "secure/session_keys.h"

namespace nevrik {

// The cipher of secure frame payloads under one set of session keys: AES-128 in counter mode
// under keys.frameKey, keyed once when it is made. Every payload, in either direction, is
// combined with the keystream from its start, beginning again at keys.initialCounter; the
// counter block is one big-endian 128-bit number that wraps. Crypting a payload builds nothing
// and allocates nothing. The key schedule and the counter are wiped when the cipher is destroyed,
// which its owner does together with the keys.
class PayloadCipher {
 public:
  explicit PayloadCipher(const SessionKeys& keys);
  PayloadCipher(const PayloadCipher&) = delete;
  PayloadCipher& operator=(const PayloadCipher&) = delete;

  // Enciphers or deciphers (the same operation) length bytes of input into output in one pass.
  // input and output may be the same area; they must not overlap otherwise. Length 0 touches
  // nothing.
  void CryptPayload(const std::uint8_t* input, std::uint8_t* output, std::size_t length);

 private:
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption counterMode;
  CryptoPP::FixedSizeSecBlock<CryptoPP::byte, SessionKeys::FieldSize> initialCounter;
};

}  // namespace nevrik
