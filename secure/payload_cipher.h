#pragma once

#include <cstddef>
#include <cstdint>

#include "secure/session_keys.h"

namespace nevrik {

// Enciphers or deciphers (the same operation) length bytes of a secure frame's payload with
// AES-128 in counter mode under keys.frameKey. The keystream starts at keys.initialCounter for
// every payload; the counter block is one big-endian 128-bit number that wraps. input and
// output may be the same area. Length 0 touches nothing.
void CryptPayload(const SessionKeys& keys, const std::uint8_t* input, std::uint8_t* output,
                  std::size_t length);

}  // namespace nevrik
