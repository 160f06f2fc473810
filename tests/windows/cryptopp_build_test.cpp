// The Crypto++ that tools/build-cryptopp-mingw.sh builds for Windows: it holds every object the
// updater's cryptography needs (a missing one fails the link) and computes right under Windows,
// whose CPU dispatch (AES-NI, SHA extensions) and random source differ from the native build's.
// Vectors from the public standards: FIPS 180-2 B.1, NIST SP 800-38A F.5.1, RFC 5903 8.1.
#include <cryptopp/aes.h>
#include <cryptopp/asn.h>
#include <cryptopp/eccrypto.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/modes.h>
#include <cryptopp/oids.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <string>

namespace nevrik {
namespace {

using Domain = CryptoPP::ECDH<CryptoPP::ECP>::Domain;

std::string Hex(const CryptoPP::byte* data, std::size_t length) {
  std::string hex;
  CryptoPP::StringSource(data, length, true,
                         new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex)));
  return hex;
}

CryptoPP::SecByteBlock Bytes(const std::string& hex) {
  std::string decoded;
  CryptoPP::StringSource(hex, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(decoded)));
  return CryptoPP::SecByteBlock(reinterpret_cast<const CryptoPP::byte*>(decoded.data()),
                                decoded.size());
}

Domain P256() {
  CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP> parameters(CryptoPP::ASN1::secp256r1());
  parameters.SetPointCompression(false);
  return Domain(parameters);
}

TEST(CryptoPPBuildTest, Sha256OfAbc) {
  const std::string message = "abc";
  CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(
      digest, reinterpret_cast<const CryptoPP::byte*>(message.data()), message.size());
  EXPECT_EQ(Hex(digest, sizeof digest),
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

TEST(CryptoPPBuildTest, Aes128CounterModeThroughAFilter) {
  const auto key = Bytes("2B7E151628AED2A6ABF7158809CF4F3C");
  const auto counter = Bytes("F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF");
  const auto plain = Bytes("6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51");
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher(key, key.size(), counter);
  std::string encrypted;
  CryptoPP::StringSource(
      plain, plain.size(), true,
      new CryptoPP::StreamTransformationFilter(cipher, new CryptoPP::StringSink(encrypted),
                                               CryptoPP::StreamTransformationFilter::NO_PADDING));
  EXPECT_EQ(Hex(reinterpret_cast<const CryptoPP::byte*>(encrypted.data()), encrypted.size()),
            "874D6191B620E3261BEF6864990DB6CE9806F66B7970FDFF8617187BB9FFFDFF");
}

TEST(CryptoPPBuildTest, P256AgreementOfKnownKeys) {
  const Domain domain = P256();
  const auto initiatorPrivate =
      Bytes("C88F01F510D9AC3F70A292DAA2316DE544E9AAB8AFE84049C62A9C57862D1433");
  const auto responderPublic = Bytes(
      "04D12DFB5289C8D4F81208B70270398C342296970A0BCCB74C736FC7554494BF63"
      "56FBF3CA366CC23E8157854C13C58D6AAC23F046ADA30F8353E74F33039872AB");

  CryptoPP::SecByteBlock initiatorPublic(domain.PublicKeyLength());
  CryptoPP::AutoSeededX917RNG<CryptoPP::Rijndael> rng;
  domain.GeneratePublicKey(rng, initiatorPrivate, initiatorPublic);
  EXPECT_EQ(Hex(initiatorPublic, initiatorPublic.size()),
            "04DAD0B65394221CF9B051E1FECA5787D098DFE637FC90B9EF945D0C3772581180"
            "5271A0461CDB8252D61F1C456FA3E59AB1F45B33ACCF5F58389E0577B8990BB3");

  CryptoPP::SecByteBlock shared(domain.AgreedValueLength());
  ASSERT_TRUE(domain.Agree(shared, initiatorPrivate, responderPublic, true));
  EXPECT_EQ(Hex(shared, shared.size()),
            "D6840F6B42F6EDAFD13116E0E12565202FEF8E9ECE7DCE03812464D04B9442DE");
}

TEST(CryptoPPBuildTest, P256AgreementRefusesAPointOffTheCurve) {
  const Domain domain = P256();
  const auto initiatorPrivate =
      Bytes("C88F01F510D9AC3F70A292DAA2316DE544E9AAB8AFE84049C62A9C57862D1433");
  auto responderPublic = Bytes(
      "04D12DFB5289C8D4F81208B70270398C342296970A0BCCB74C736FC7554494BF63"
      "56FBF3CA366CC23E8157854C13C58D6AAC23F046ADA30F8353E74F33039872AB");
  responderPublic[64] ^= 0x01;
  CryptoPP::SecByteBlock shared(domain.AgreedValueLength());
  EXPECT_FALSE(domain.Agree(shared, initiatorPrivate, responderPublic, true));
}

TEST(CryptoPPBuildTest, KeyPairsFromTheSystemSeededGenerator) {
  const Domain domain = P256();
  CryptoPP::AutoSeededX917RNG<CryptoPP::Rijndael> rng;
  CryptoPP::SecByteBlock privateA(domain.PrivateKeyLength()), publicA(domain.PublicKeyLength());
  CryptoPP::SecByteBlock privateB(domain.PrivateKeyLength()), publicB(domain.PublicKeyLength());
  domain.GenerateKeyPair(rng, privateA, publicA);
  domain.GenerateKeyPair(rng, privateB, publicB);
  EXPECT_NE(privateA, privateB);

  CryptoPP::SecByteBlock sharedA(domain.AgreedValueLength());
  CryptoPP::SecByteBlock sharedB(domain.AgreedValueLength());
  ASSERT_TRUE(domain.Agree(sharedA, privateA, publicB, true));
  ASSERT_TRUE(domain.Agree(sharedB, privateB, publicA, true));
  EXPECT_EQ(sharedA, sharedB);
}

}  // namespace
}  // namespace nevrik
