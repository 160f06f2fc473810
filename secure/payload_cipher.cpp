#include "secure/payload_cipher.h"

#include <algorithm>

#include "secure/crypto_call.h"

namespace nevrik {

PayloadCipher::PayloadCipher(const SessionKeys& keys)
    : counterMode(keys.frameKey.data(), keys.frameKey.size(), keys.initialCounter.data()) {
  BeforeCryptoCall(CryptoCall::Cipher);
  std::copy(keys.initialCounter.begin(), keys.initialCounter.end(), initialCounter.begin());
}

void PayloadCipher::CryptPayload(const std::uint8_t* input, std::uint8_t* output,
                                 std::size_t length) {
  if (length == 0) {
    return;
  }
  BeforeCryptoCall(CryptoCall::Cipher);
  // Back to the initial counter block with no keystream left over: the key schedule stays, and
  // the counter's storage is reused.
  counterMode.Resynchronize(initialCounter.data(), static_cast<int>(initialCounter.size()));
  counterMode.ProcessData(output, input, length);
}

}  // namespace nevrik
