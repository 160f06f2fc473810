// The key's side of a whole update. The real RunUpdate runs against a real simulated key, from
// the status query to the final frame; the input decides, request by request, what of the key's
// answer reaches the host: all of it as the key sent it, or its header, status, payload or length
// changed, or another answer altogether, cut into other packets, with zero-length packets added
// or left out, twice, not at all, or a stall in the middle; or the request itself is refused.
// Each run then checks what every update must keep to, from what went out on the wire.
//
// Input. The first byte sets the scene:
//   bits 0-1 the key's SO PIN: 0 none, 1 set and typed right, 2 set and typed wrong, 3 set and
//            locked (typed right)
//   bit 2    --force                     bit 3  the key already runs 2.0 (else 1.5)
//   bits 4-5 the confirmation typed: "y", "n", nothing (the input ends), "yes" then "y"
//   bit 6    the PIN typed is 257 bytes  bit 7  512-byte packets (else 64)
// Then one plan for each request the host begins after the synchronisation; when the input has
// ended every answer passes as the key sent it. A plan is one byte whose bits each take more
// bytes, in this order:
//   0x80 the request's first packet stalls: the key never sees it (no more bytes)
//   0x10 the answer is replaced: a count n, then n bytes
//   0x04 the payload is cut or padded with zeros to a 16-bit length, which the header states
//   0x08 a payload byte is XORed: a 16-bit offset (modulo the payload's size), the XOR byte
//   0x01 the status byte (header byte 5) becomes the next byte
//   0x02 a header byte is set: its index (modulo 8), its value
//   0x20 the packets: a byte whose bits 0-2 pick the packet size (the endpoint's, 1, 7, 8, 9,
//        one less, 3, one more), bit 3 puts a zero-length packet first, bit 4 drops the one that
//        ends a full last packet, bit 5 adds one at the end, bit 6 sends the answer twice and
//        bit 7 sends nothing
//   0x40 the IN endpoint stalls at the packet of the next byte's index (0: the header read)
//
// With NEVRIK_FUZZ_TRANSCRIPT set in the environment, each run writes what the user would have
// seen, and its exit code, to standard error: a way to name an input before it joins the corpus.

#include <cryptopp/sha.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/firmware_pack.h"
#include "app/log.h"
#include "app/update_procedure.h"
#include "fuzz/fuzz_support.h"
#include "sim/key_crypto.h"
#include "sim/key_wire.h"
#include "sim/sim_key.h"
#include "sim/sim_usb_enumerator.h"

namespace nevrik {
namespace {

using Bytes = std::vector<std::uint8_t>;

// --- The scene ----------------------------------------------------------------------------

constexpr char RightPin[] = "S3cr3t-PIN-4711";
constexpr char WrongPin[] = "S3cr3t-PIN-4712";

struct Scene {
  enum class Pin { None, Right, Wrong, Locked };
  enum class Answer { Yes, No, InputEnds, TooLongThenYes };

  explicit Scene(std::uint8_t bits)
      : pin(static_cast<Pin>(bits & 3)),
        force((bits & 0x04) != 0),
        keyUpToDate((bits & 0x08) != 0),
        answer(static_cast<Answer>(bits >> 4 & 3)),
        longPin((bits & 0x40) != 0),
        packetSize((bits & 0x80) != 0 ? 512 : 64) {}

  std::string TypedPin() const {
    if (longPin) {
      std::string pin;
      while (pin.size() < SoPinLengthLimit + 1) {
        pin += RightPin;
      }
      return pin.substr(0, SoPinLengthLimit + 1);
    }
    return pin == Pin::Wrong ? WrongPin : RightPin;
  }

  std::string Console() const {
    static constexpr const char* Answers[] = {"y\n", "n\n", "", "yes\ny\n"};
    return answer == Answer::InputEnds ? "" : Answers[static_cast<int>(answer)] + TypedPin() + "\n";
  }

  // What a run must end in when every answer passes as the key sent it.
  ExitCode Untouched() const {
    if (!force && keyUpToDate) {
      return ExitCode::ExitNoUpdateNeeded;
    }
    if (answer == Answer::No || answer == Answer::InputEnds) {
      return ExitCode::ExitCanceled;
    }
    if (pin == Pin::Locked) {
      return ExitCode::ExitSoPinLocked;
    }
    const bool pinAsked = pin != Pin::None;
    if (pinAsked && (longPin || pin == Pin::Wrong)) {
      return ExitCode::ExitCanceled;
    }
    return ExitCode::ExitOk;
  }

  Pin pin;
  bool force;
  bool keyUpToDate;
  Answer answer;
  bool longPin;
  std::uint16_t packetSize;
};

SimKeyFirmwareConfig KeyState(const Scene& scene) {
  SimKeyFirmwareConfig state;
  if (scene.keyUpToDate) {
    state.firmwareMajor = 2;
    state.firmwareMinor = 0;
  }
  if (scene.pin != Scene::Pin::None) {
    state.soPin = Bytes(RightPin, RightPin + std::strlen(RightPin));
    state.soPinLocked = scene.pin == Scene::Pin::Locked;
  }
  // The key's side of the handshake fixed too, so that a run replays exactly.
  state.handshake.privateKey = Bytes(32, 0x42);
  state.handshake.leadByte = 0;
  state.handshake.initialCounter.emplace();
  state.handshake.initialCounter->fill(0xC3);
  state.handshake.unexamined.emplace();
  state.handshake.unexamined->fill(0x5A);
  return state;
}

// A pack of three chunks, the last one short: every path of the write loop at a fraction of the
// embedded pack's cost.
class SmallPack {
 public:
  static constexpr std::size_t ImageSize = 2 * WriteChunkSize + 777;

  SmallPack() {
    const std::uint8_t header[FirmwarePack::HeaderLength] = {'N',
                                                             'V',
                                                             'R',
                                                             'K',
                                                             'F',
                                                             'I',
                                                             'R',
                                                             'M',
                                                             24,
                                                             0,
                                                             2,
                                                             0,
                                                             1,
                                                             2,
                                                             3,
                                                             4,
                                                             5,
                                                             6,
                                                             7,
                                                             8,
                                                             ImageSize & 0xFF,
                                                             ImageSize >> 8 & 0xFF,
                                                             0,
                                                             0};
    data.assign(std::begin(header), std::end(header));
    for (std::size_t i = 0; i < ImageSize; ++i) {
      data.push_back(static_cast<std::uint8_t>(i * 31 + (i >> 8)));
    }
    const FirmwarePack pack(data);
    if (!ValidatePack(pack)) {
      std::abort();
    }
    CryptoPP::SHA256().CalculateDigest(digest, pack.Image().data(), pack.Image().size());
  }

  FirmwarePack Pack() const { return FirmwarePack(data); }
  std::span<const std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> Digest() const { return digest; }
  static constexpr std::size_t ChunkCount() {
    return (ImageSize + WriteChunkSize - 1) / WriteChunkSize;
  }

 private:
  Bytes data;
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
};

// --- One plan per request -------------------------------------------------------------------

struct AnswerPlan {
  bool stallOut = false;
  std::optional<Bytes> replacement;
  std::optional<std::uint16_t> payloadLength;
  std::optional<std::pair<std::uint16_t, std::uint8_t>> flip;  // payload offset, XOR
  std::optional<std::uint8_t> status;
  std::optional<std::pair<std::uint8_t, std::uint8_t>> headerByte;  // index, value
  std::optional<std::uint8_t> packets;
  std::optional<std::uint8_t> stallInAt;

  bool ChangesContent() const {
    return replacement || payloadLength || flip || status || headerByte;
  }
  // The answer travels as a key sends one: whole packets, then a short one, and no failure.
  bool PlainTransport() const { return !packets && !stallInAt; }
};

AnswerPlan ReadPlan(fuzz::Input& input) {
  AnswerPlan plan;
  const std::uint8_t bits = input.Byte();
  if ((bits & 0x80) != 0) {
    plan.stallOut = true;
    return plan;
  }
  if ((bits & 0x10) != 0) {
    const std::span<const std::uint8_t> bytes = input.Take(input.Byte());
    plan.replacement.emplace(bytes.begin(), bytes.end());
  }
  if ((bits & 0x04) != 0) {
    plan.payloadLength = input.Word();
  }
  if ((bits & 0x08) != 0) {
    const std::uint16_t offset = input.Word();
    plan.flip.emplace(offset, input.Byte());
  }
  if ((bits & 0x01) != 0) {
    plan.status = input.Byte();
  }
  if ((bits & 0x02) != 0) {
    const std::uint8_t index = input.Byte() & 7;
    plan.headerByte.emplace(index, input.Byte());
  }
  if ((bits & 0x20) != 0) {
    plan.packets = input.Byte();
  }
  if ((bits & 0x40) != 0) {
    plan.stallInAt = input.Byte();
  }
  return plan;
}

Bytes ApplyContent(const AnswerPlan& plan, Bytes frame) {
  if (plan.replacement) {
    frame = *plan.replacement;
  }
  if (plan.payloadLength) {
    frame.resize(simkey::HeaderSize + *plan.payloadLength);
    frame[6] = static_cast<std::uint8_t>(*plan.payloadLength);
    frame[7] = static_cast<std::uint8_t>(*plan.payloadLength >> 8);
  }
  if (plan.flip && frame.size() > simkey::HeaderSize) {
    const std::size_t payloadSize = frame.size() - simkey::HeaderSize;
    frame[simkey::HeaderSize + plan.flip->first % payloadSize] ^= plan.flip->second;
  }
  if (plan.status && frame.size() > 5) {
    frame[5] = *plan.status;
  }
  if (plan.headerByte && frame.size() > plan.headerByte->first) {
    frame[plan.headerByte->first] = plan.headerByte->second;
  }
  return frame;
}

// What the IN endpoint hands out: a data packet (possibly empty) or a stall.
// What the IN endpoint hands out, in order: data packets (possibly empty) and stalls. The
// packets' bytes sit in one buffer, so that an answer cut into thousands of one-byte packets
// costs no allocation per packet until the host takes it.
class InQueue {
 public:
  void PushData(std::span<const std::uint8_t> data) {
    packets.push_back({false, data.size()});
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
  void PushStall() { packets.push_back({true, 0}); }

  // The next packet, or a NAK when none is left.
  UsbInPacket Pop() {
    if (nextPacket == packets.size()) {
      Clear();
      return UsbInPacket{UsbInPacket::Kind::Nak, {}};
    }
    const Packet packet = packets[nextPacket++];
    if (packet.stall) {
      return UsbInPacket{UsbInPacket::Kind::Stall, {}};
    }
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(nextByte);
    nextByte += packet.size;
    return UsbInPacket{UsbInPacket::Kind::Data,
                       Bytes(first, first + static_cast<std::ptrdiff_t>(packet.size))};
  }

  void Clear() {
    packets.clear();
    bytes.clear();
    nextPacket = 0;
    nextByte = 0;
  }

 private:
  struct Packet {
    bool stall;
    std::size_t size;
  };
  std::vector<Packet> packets;
  Bytes bytes;
  std::size_t nextPacket = 0;
  std::size_t nextByte = 0;
};

// Queues the delivered answer as the plan cuts it into packets.
void Packetize(const AnswerPlan& plan, const Bytes& frame, std::size_t packetSize, InQueue& queue) {
  const std::uint8_t shape = plan.packets.value_or(0);
  const std::size_t sizes[] = {packetSize, 1, 7, 8, 9, packetSize - 1, 3, packetSize + 1};
  const std::size_t size = sizes[shape & 7];
  if ((shape & 0x80) != 0) {
    return;
  }
  // A stall replaces the answer's packets from the given one on.
  std::size_t allowed = plan.stallInAt.value_or(SIZE_MAX);
  const auto push = [&](std::span<const std::uint8_t> data) {
    if (allowed > 0) {
      queue.PushData(data);
      --allowed;
    }
  };
  for (int copy = 0; copy < ((shape & 0x40) != 0 ? 2 : 1); ++copy) {
    if ((shape & 0x08) != 0) {
      push({});
    }
    for (std::size_t at = 0; at < frame.size(); at += size) {
      push(std::span(frame).subspan(at, std::min(size, frame.size() - at)));
    }
    if (frame.size() % size == 0 && (shape & 0x10) == 0) {
      push({});
    }
    if ((shape & 0x20) != 0) {
      push({});
    }
  }
  if (plan.stallInAt) {
    queue.PushStall();
  }
}

// Names the rule a run broke before it stops the fuzzer.
void Require(bool condition, const char* rule) {
  if (!condition) {
    std::fprintf(stderr, "update fuzzer: broken rule: %s\n", rule);
    std::abort();
  }
}

// --- The key between the host and the real simulated key ------------------------------------

// What the host saw of an answer, where that is certain.
enum class Seen { Unknown, Success, Failure };

// A request the host began, as decoded on the key's side of the wire.
struct SentRequest {
  std::optional<simkey::KeyFrameHeader> header;  // nothing: not a frame
  std::size_t size = 0;
  bool stalled = false;  // refused at its first packet
  Seen seen = Seen::Unknown;
};

class SteeredKey final : public SimUsbFunction {
 public:
  SteeredKey(std::shared_ptr<SimKey> key, fuzz::Input& input, const SmallPack& pack,
             std::string_view pin)
      : key(std::move(key)), input(input), pack(pack), pin(pin) {}

  // From now on each request's answer follows the input and is recorded.
  void Steer() { steering = true; }
  const std::vector<SentRequest>& Sent() const { return sent; }
  bool AnyAnswerTouched() const { return touched; }

  std::vector<std::uint8_t> DeviceDescriptor() const override { return key->DeviceDescriptor(); }
  std::vector<std::uint8_t> ConfigurationDescriptor() const override {
    return key->ConfigurationDescriptor();
  }

  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override {
    if (setup.requestType == 0x21 && setup.request == 0xFF) {
      queued.Clear();  // the synchronisation drops every answer
    }
    return key->Control(setup, outData);
  }

  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
    if (!steering || endpoint != key->FrameOutEndpoint()) {
      return key->OutPacket(endpoint, packet);
    }
    if (!collecting) {
      collecting = true;
      plan = ReadPlan(input);
      if (plan.stallOut) {
        collecting = false;
        touched = true;
        Record(packet, true);
        return false;
      }
    }
    transfer.insert(transfer.end(), packet.begin(), packet.end());
    if (!key->OutPacket(endpoint, packet)) {
      collecting = false;
      transfer.clear();
      return false;
    }
    if (packet.size() < key->UsbConfig().maxPacketSize) {
      collecting = false;
      Answer();
      transfer.clear();
    }
    return true;
  }

  UsbInPacket InPacket(std::uint8_t endpoint) override {
    if (!steering || endpoint != key->FrameInEndpoint()) {
      return key->InPacket(endpoint);
    }
    return queued.Pop();
  }

 private:
  SentRequest& Record(std::span<const std::uint8_t> bytes, bool stalled) {
    SentRequest request;
    request.header = simkey::ParseKeyFrameHeader(bytes);
    request.size = bytes.size();
    request.stalled = stalled;
    // The SO PIN leaves the host only enciphered.
    // memmem rather than std::search: every byte compared in instrumented code is traced, and
    // this scan covers every chunk of the image.
    Require(pin.size() < 8 || memmem(bytes.data(), bytes.size(), pin.data(), pin.size()) == nullptr,
            "the SO PIN leaves the host only enciphered");
    sent.push_back(request);
    return sent.back();
  }

  // The transfer is complete and the key has queued its answer, if any: take it, change it as
  // planned, and queue what the host will receive.
  void Answer() {
    SentRequest& request = Record(transfer, false);
    std::optional<Bytes> frame = TakeKeyAnswer();
    const bool answered = frame.has_value() || plan.replacement.has_value();
    if (!answered) {
      return;  // nothing to receive, as after CmdFinal
    }
    const Bytes original = frame.value_or(Bytes{});
    const Bytes delivered = ApplyContent(plan, original);
    touched = touched || plan.ChangesContent() || !plan.PlainTransport();

    const bool wellFormed =
        delivered.size() >= simkey::HeaderSize &&
        delivered.size() == simkey::HeaderSize + (delivered[6] | delivered[7] << 8);
    const bool plain = plan.PlainTransport() && wellFormed && request.header;
    if (streamClean && plain) {
      request.seen = Judge(*request.header, delivered);
    }
    if (request.header && request.header->code == simkey::CmdHandshake) {
      keysAgree = streamClean && plain && delivered == original;
    }
    // The host reads the payload only behind a header that passed its check; whatever it leaves
    // unread spoils every later answer.
    const bool headerPasses = wellFormed && request.header &&
                              std::equal(delivered.begin(), delivered.begin() + 4, simkey::Magic) &&
                              delivered[4] == request.header->sequence;
    streamClean = streamClean && plain && (headerPasses || delivered.size() == simkey::HeaderSize);

    Packetize(plan, delivered, key->UsbConfig().maxPacketSize, queued);
  }

  std::optional<Bytes> TakeKeyAnswer() {
    std::optional<Bytes> frame;
    for (;;) {
      const UsbInPacket packet = key->InPacket(*key->FrameInEndpoint());
      if (packet.kind != UsbInPacket::Kind::Data) {
        return frame;
      }
      if (!frame) {
        frame.emplace();
      }
      frame->insert(frame->end(), packet.bytes.begin(), packet.bytes.end());
    }
  }

  // What the host makes of a well-formed answer that reaches it exactly as delivered.
  Seen Judge(const simkey::KeyFrameHeader& request, const Bytes& answer) const {
    switch (request.code) {
      case simkey::CmdSetup:
      case simkey::CmdWrite:
      case simkey::CmdGetHash:
      case simkey::CmdDeploy:
      case simkey::CmdCancelUpdate:
        break;
      default:
        return Seen::Unknown;  // not a step of the update itself
    }
    const bool success = std::equal(answer.begin(), answer.begin() + 4, simkey::Magic) &&
                         answer[4] == request.sequence && (answer[5] & simkey::CodeMask) == 0;
    const std::size_t length = answer.size() - simkey::HeaderSize;
    if (!success) {
      return Seen::Failure;
    }
    if (request.code != simkey::CmdGetHash) {
      return length == 0 ? Seen::Success : Seen::Failure;
    }
    Bytes hash(answer.begin() + simkey::HeaderSize, answer.end());
    if ((answer[5] & simkey::SecureBit) != 0 && !hash.empty()) {
      const Bytes keys = key->Firmware().SessionKeyBlock();
      if (!keysAgree || keys.empty()) {
        return Seen::Unknown;  // the host deciphers with keys this side cannot know
      }
      simkey::CryptPayloadInPlace(std::span(keys).subspan<16, 16>(),
                                  std::span(keys).subspan<48, 16>(), hash);
    }
    const auto digest = pack.Digest();
    return std::equal(hash.begin(), hash.end(), digest.begin(), digest.end()) ? Seen::Success
                                                                              : Seen::Failure;
  }

  std::shared_ptr<SimKey> key;
  fuzz::Input& input;
  const SmallPack& pack;
  std::string_view pin;
  bool steering = false;
  bool collecting = false;
  AnswerPlan plan;
  Bytes transfer;
  InQueue queued;
  std::vector<SentRequest> sent;
  bool touched = false;
  bool streamClean = true;  // every answer so far reached the host whole and was read whole
  bool keysAgree = false;   // the host took the key's own handshake answer
};

// --- What every run must keep to ------------------------------------------------------------

std::uint8_t CommandOf(const SentRequest& request) {
  return request.header ? request.header->code : 0xFF;
}

void CheckRun(const Scene& scene, const SteeredKey& steered, ExitCode exitCode, bool broken,
              const std::string& output) {
  const std::vector<SentRequest>& sent = steered.Sent();
  const auto count = [&](std::uint8_t command) {
    return std::count_if(sent.begin(), sent.end(),
                         [&](const SentRequest& r) { return CommandOf(r) == command; });
  };
  const auto firstOf = [&](std::uint8_t command) {
    return std::find_if(sent.begin(), sent.end(),
                        [&](const SentRequest& r) { return CommandOf(r) == command; });
  };

  Require(exitCode == ExitCode::ExitOk || exitCode == ExitCode::ExitNoUpdateNeeded ||
              exitCode == ExitCode::ExitCanceled || exitCode == ExitCode::ExitSoPinLocked ||
              exitCode == ExitCode::ExitStatusFailed,
          "an exit code an update may end in");
  if (!steered.AnyAnswerTouched()) {
    Require(exitCode == scene.Untouched(), "the key's own answers give the expected exit code");
  }

  for (std::size_t i = 0; i < sent.size(); ++i) {
    Require(sent[i].header.has_value(), "every request is a frame");
    Require(sent[i].stalled || sent[i].size == simkey::HeaderSize + sent[i].header->length,
            "every request is as long as its header says");
    Require(i == 0 || sent[i].header->sequence ==
                          static_cast<std::uint8_t>(sent[i - 1].header->sequence + 1),
            "requests are numbered one after another");
  }

  const auto handshake = firstOf(simkey::CmdHandshake);
  if (exitCode == ExitCode::ExitNoUpdateNeeded || exitCode == ExitCode::ExitSoPinLocked ||
      exitCode == ExitCode::ExitStatusFailed || handshake == sent.end()) {
    Require(sent.size() <= 1 && (sent.empty() || CommandOf(sent[0]) == simkey::CmdQuery),
            "a run that ends before the secure channel sends only the status query");
  }

  const auto cancel = firstOf(simkey::CmdCancelUpdate);
  Require(count(simkey::CmdCancelUpdate) <= 1, "at most one cancel request");
  if (cancel != sent.end()) {
    Require(handshake < cancel, "a cancel only after the secure channel was attempted");
    Require(cancel + 1 == sent.end(), "nothing after the cancel request");
    Require(exitCode == ExitCode::ExitCanceled, "a cancelled update exits as cancelled");
  }
  if (handshake != sent.end() && exitCode != ExitCode::ExitOk && !broken) {
    Require(cancel != sent.end(), "a failure after the secure channel was attempted cancels");
  }

  const auto deploy = firstOf(simkey::CmdDeploy);
  if (deploy != sent.end()) {
    Require(count(simkey::CmdDeploy) == 1, "at most one deploy request");
    const auto setup = firstOf(simkey::CmdSetup);
    Require(handshake < setup && setup < deploy, "deploy only after the setup");
    std::size_t chunks = 0;
    std::size_t written = 0;
    for (auto request = setup; request != deploy; ++request) {
      Require(request->seen != Seen::Failure && !request->stalled,
              "no deploy after a step that failed");
      if (CommandOf(*request) == simkey::CmdWrite) {
        ++chunks;
        written += request->header->length;
      }
    }
    Require(chunks == SmallPack::ChunkCount() && written == SmallPack::ImageSize,
            "deploy only after every chunk of the image");
    Require(CommandOf(*(deploy - 1)) == simkey::CmdGetHash, "deploy right after the hash query");
    Require(setup->header->secure && (deploy - 1)->header->secure && !deploy->header->secure,
            "setup and hash query secure, deploy plain");
  }
  const auto final = firstOf(simkey::CmdFinal);
  if (final != sent.end()) {
    Require(deploy != sent.end() && final == deploy + 1, "the final frame right after deploy");
    Require(deploy->seen != Seen::Failure && !deploy->stalled,
            "no final frame after a failed deploy");
    Require(final + 1 == sent.end() || (final->stalled && final + 1 == cancel),
            "after the final frame only the cancel of a final frame that failed");
  }
  if (exitCode == ExitCode::ExitOk) {
    Require(final != sent.end() && !final->stalled, "success only with the final frame sent");
  }

  Require(output.find(RightPin) == std::string::npos && output.find(WrongPin) == std::string::npos,
          "the SO PIN never reaches the console");
}

// --- One run --------------------------------------------------------------------------------

// The console: the typed lines in, everything the updater writes out.
class Console {
 public:
  // The typed lines wait in a pipe, as the updater reads its input by descriptor: a file on
  // disk for every run would cost more than the run. Both sides live in memory.
  explicit Console(const std::string& typed) {
    int ends[2];
    if (pipe(ends) != 0 || typed.size() > PIPE_BUF ||
        write(ends[1], typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
      std::abort();
    }
    close(ends[1]);
    in = fdopen(ends[0], "r");
    out = open_memstream(&text, &textSize);
    if (in == nullptr || out == nullptr) {
      std::abort();
    }
  }
  ~Console() {
    std::fclose(in);
    std::free(text);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  StandardStreams Streams() const { return StandardStreams{in, out, out}; }
  std::string Close() {
    std::fclose(out);
    return std::string(text, textSize);
  }

 private:
  std::FILE* in = nullptr;
  std::FILE* out = nullptr;
  char* text = nullptr;
  std::size_t textSize = 0;
};

void RunOneUpdate(std::span<const std::uint8_t> bytes) {
  static const SmallPack pack;
  static fuzz::FixedKeySource keySource;

  fuzz::Input input(bytes);
  const Scene scene(input.Byte());
  const std::string typedPin = scene.TypedPin();

  SimKeyUsbConfig usb;
  usb.maxPacketSize = scene.packetSize;
  const auto key = std::make_shared<SimKey>(usb, KeyState(scene));
  const auto steered = std::make_shared<SteeredKey>(key, input, pack, typedPin);
  SimUsbEnumerator enumerator;
  enumerator.Attach(steered);
  enumerator.Enumerate();
  fuzz::AdvancingTicks ticks;
  std::unique_ptr<DeviceSession> holder = DeviceSession::Create(enumerator, ticks, keySource);
  if (!holder || !holder->Synchronize()) {
    std::abort();  // a healthy key, untouched so far
  }
  steered->Steer();

  Console console(scene.Console());
  UpdaterEnvironment environment;
  environment.streams = console.Streams();
  environment.pack = pack.Pack();
  logSettings.logLevel = static_cast<int>(LogLevel::Verbose);
  logSettings.standardOutput = environment.streams.out;
  logSettings.logStream = environment.streams.out;

  const ExitCode exitCode = RunUpdate(holder, scene.force, environment);
  const bool broken = holder->IsBroken();
  holder.reset();
  const std::string output = console.Close();
  if (std::getenv("NEVRIK_FUZZ_TRANSCRIPT") != nullptr) {
    std::fprintf(stderr, "%s[exit code %d]\n", output.c_str(), static_cast<int>(exitCode));
  }
  logSettings = LogSettings{};
  CheckRun(scene, *steered, exitCode, broken, output);
}

}  // namespace
}  // namespace nevrik

// A run allocates a few hundred kilobytes and frees them all before the next; AddressSanitizer's
// default 256 MB quarantine would hand every run fresh pages from the kernel, which took a third of
// the time. 16 MB still holds what the last fifty runs freed, so any use after free within a run
// is caught as before.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  nevrik::RunOneUpdate(std::span(data, size));
  return 0;
}
