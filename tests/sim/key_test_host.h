#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The tests' own host side of the key protocol, written from the frame and handshake layout with
// Crypto++'s ECDH domain (not the key's curve arithmetic), so the simulated key is checked against
// a second implementation as well as against the recorded vectors.
namespace nevrik::test {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& hex);

// "NVKW", sequence, command byte as given (SecureBit included), 16-bit LE length, payload.
Bytes RequestFrame(std::uint8_t sequence, std::uint8_t commandByte,
                   std::span<const std::uint8_t> payload = {});
Bytes QueryPayload(std::uint32_t selector);

struct AnswerFrame {
  std::uint8_t sequence = 0;
  std::uint8_t statusByte = 0;  // byte 5 as received
  std::uint16_t length = 0;
  Bytes payload;

  std::uint8_t Status() const { return statusByte & 0x3F; }
  bool Secure() const { return (statusByte & 0x80) != 0; }
};

// The answer when `bytes` is "NVKW" + header + exactly `length` payload bytes.
std::optional<AnswerFrame> ParseAnswer(std::span<const std::uint8_t> bytes);

struct TestKeys {
  Bytes frameKey;        // 16 bytes
  Bytes initialCounter;  // 16 bytes
};

// AES-128-CTR with Crypto++'s filter interface, counter restarting at initialCounter.
Bytes Crypt(const TestKeys& keys, std::span<const std::uint8_t> data);

// One handshake from the host's side.
class TestHandshake {
 public:
  TestHandshake();  // a random host key pair
  explicit TestHandshake(const Bytes& hostPrivateKey);

  // The 73-byte request payload.
  const Bytes& Request() const { return request; }
  // The keys from the key's 97-byte answer; nothing when its point is refused.
  std::optional<TestKeys> Finish(std::span<const std::uint8_t> response) const;

 private:
  Bytes privateKey;
  Bytes request;
};

// Sections of "name = hex" lines from a vector file, by section name.
using VectorFile = std::map<std::string, std::map<std::string, Bytes>>;
VectorFile LoadVectors(const std::string& path);

}  // namespace nevrik::test
