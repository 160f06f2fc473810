#include "secure/payload_cipher.h"

#include <algorithm>

namespace nevrik {

PayloadCipher::PayloadCipher(const SessionKeys& keys)
    : counterMode(keys.frameKey.data(), keys.frameKey.size(), keys.initialCounter.data()) {
  std::copy(keys.initialCounter.begin(), keys.initialCounter.end(), initialCounter.begin());
}

void PayloadCipher::CryptPayload(const std::uint8_t* input, std::uint8_t* output,
                                 std::size_t length) {
  if (length == 0) {
    return;
  }
  // Back to the initial counter block with no keystream left over: the key schedule stays, and
  // the counter's storage is reused.
  counterMode.Resynchronize(initialCounter.data(), static_cast<int>(initialCounter.size()));
  counterMode.ProcessData(output, input, length);
}

}  // namespace nevrik
