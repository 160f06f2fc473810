#include "secure/ephemeral_key_source.h"

#include "secure/key_agreement.h"

namespace nevrik {

namespace {

class AutoSeeded final : public EphemeralKeySource {
 public:
  bool Generate(CryptoPP::SecByteBlock& privateKey, CryptoPP::SecByteBlock& publicKey) override {
    return GenerateEphemeralKeyPair(privateKey, publicKey);
  }
};

}  // namespace

EphemeralKeySource& AutoSeededKeySource() {
  static AutoSeeded source;
  return source;
}

}  // namespace nevrik
