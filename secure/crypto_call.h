#pragma once

// Marks each Crypto++ operation the host makes, just before it is made. A test build of this
// library (NEVRIK_CRYPTO_CALL_SEAM, never the program's) hands each mark to a hook the test
// defines, which may throw as a failing Crypto++ call would; in every other build the marks
// compile to nothing. Included by this library's sources only.
namespace nevrik {

enum class CryptoCall { KeyGeneration, KeyAgreement, Hash, Cipher };

#ifdef NEVRIK_CRYPTO_CALL_SEAM
void BeforeCryptoCall(CryptoCall call);
#else
inline void BeforeCryptoCall(CryptoCall) {}
#endif

}  // namespace nevrik
