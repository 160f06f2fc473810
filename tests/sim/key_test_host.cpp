#include "tests/sim/key_test_host.h"

#include <cryptopp/aes.h>
#include <cryptopp/eccrypto.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/oids.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <fstream>
#include <stdexcept>

namespace nevrik::test {
namespace {

using Domain = CryptoPP::ECDH<CryptoPP::ECP>::Domain;

Domain P256Domain() {
  return Domain(CryptoPP::ASN1::secp256r1());
}

Bytes Sha256(std::span<const std::uint8_t> data) {
  Bytes digest(CryptoPP::SHA256::DIGESTSIZE);
  CryptoPP::SHA256().CalculateDigest(digest.data(), data.data(), data.size());
  return digest;
}

void Append(Bytes& to, std::span<const std::uint8_t> bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

Bytes RequestFrame(std::uint8_t sequence, std::uint8_t commandByte,
                   std::span<const std::uint8_t> payload) {
  Bytes frame{'N',
              'V',
              'K',
              'W',
              sequence,
              commandByte,
              static_cast<std::uint8_t>(payload.size() & 0xFF),
              static_cast<std::uint8_t>(payload.size() >> 8)};
  Append(frame, payload);
  return frame;
}

Bytes QueryPayload(std::uint32_t selector) {
  return Bytes{static_cast<std::uint8_t>(selector), static_cast<std::uint8_t>(selector >> 8),
               static_cast<std::uint8_t>(selector >> 16),
               static_cast<std::uint8_t>(selector >> 24)};
}

std::optional<AnswerFrame> ParseAnswer(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8 || bytes[0] != 'N' || bytes[1] != 'V' || bytes[2] != 'K' ||
      bytes[3] != 'W') {
    return std::nullopt;
  }
  AnswerFrame answer;
  answer.sequence = bytes[4];
  answer.statusByte = bytes[5];
  answer.length = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
  if (bytes.size() != 8u + answer.length) {
    return std::nullopt;
  }
  answer.payload.assign(bytes.begin() + 8, bytes.end());
  return answer;
}

Bytes Crypt(const TestKeys& keys, std::span<const std::uint8_t> data) {
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
  cipher.SetKeyWithIV(keys.frameKey.data(), keys.frameKey.size(), keys.initialCounter.data(),
                      keys.initialCounter.size());
  CryptoPP::StreamTransformationFilter filter(cipher, nullptr,
                                              CryptoPP::StreamTransformationFilter::NO_PADDING);
  filter.Put(data.data(), data.size());
  filter.MessageEnd();
  Bytes output(data.size());
  filter.Get(output.data(), output.size());
  return output;
}

TestHandshake::TestHandshake() {
  const Domain domain = P256Domain();
  CryptoPP::AutoSeededRandomPool random;
  CryptoPP::SecByteBlock secret(domain.PrivateKeyLength());
  CryptoPP::SecByteBlock publicKey(domain.PublicKeyLength());
  domain.GenerateKeyPair(random, secret, publicKey);
  privateKey.assign(secret.begin(), secret.end());
  request.assign(9, 0);
  request.insert(request.end(), publicKey.begin() + 1, publicKey.end());
}

TestHandshake::TestHandshake(const Bytes& hostPrivateKey) : privateKey(hostPrivateKey) {
  const Domain domain = P256Domain();
  CryptoPP::AutoSeededRandomPool random;
  CryptoPP::SecByteBlock publicKey(domain.PublicKeyLength());
  domain.GeneratePublicKey(random, privateKey.data(), publicKey);
  request.assign(9, 0);
  request.insert(request.end(), publicKey.begin() + 1, publicKey.end());
}

std::optional<TestKeys> TestHandshake::Finish(std::span<const std::uint8_t> response) const {
  if (response.size() != 97) {
    return std::nullopt;
  }
  const Domain domain = P256Domain();
  Bytes devicePublic{0x04};
  Append(devicePublic, response.subspan(33));
  CryptoPP::SecByteBlock z(domain.AgreedValueLength());
  try {
    if (!domain.Agree(z, privateKey.data(), devicePublic.data(), true)) {
      return std::nullopt;
    }
  } catch (const CryptoPP::Exception&) {
    return std::nullopt;
  }

  const Bytes fingerprint = Sha256(response.subspan(33, 64));
  Bytes otherInfo{4, 9, 9, 9, 9, 8};
  Append(otherInfo, std::span(request).subspan(1, 8));
  otherInfo.push_back(1);
  otherInfo.push_back(request[0]);
  otherInfo.push_back(16);
  Append(otherInfo, std::span(request).subspan(9, 16));
  otherInfo.push_back(8);
  Append(otherInfo, std::span(fingerprint).first(8));
  otherInfo.push_back(16);
  Append(otherInfo, response.subspan(1, 16));
  otherInfo.push_back(1);
  otherInfo.push_back(response[0]);

  Bytes material;
  for (std::uint8_t counter = 1; counter <= 2; ++counter) {
    Bytes input{0, 0, 0, counter};
    Append(input, z);
    Append(input, otherInfo);
    Append(material, Sha256(input));
  }
  return TestKeys{Bytes(material.begin() + 32, material.begin() + 48),
                  Bytes(response.begin() + 1, response.begin() + 17)};
}

VectorFile LoadVectors(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error("cannot read " + path);
  }
  VectorFile vectors;
  std::string section;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const std::size_t equals = line.find(" = ");
    if (equals != std::string::npos) {
      vectors[section][line.substr(0, equals)] = FromHex(line.substr(equals + 3));
    }
  }
  return vectors;
}

}  // namespace nevrik::test
