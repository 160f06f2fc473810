#include "usbbus/key_report.h"

#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "sim/key_wire.h"

namespace nevrik::usbbus {

namespace {

// The pack format, read here on its own: the image follows a 24-byte header whose bytes 20-23
// give its size, little-endian.
constexpr std::size_t PackHeaderSize = 24;
constexpr std::size_t PackImageSizeOffset = 20;

std::span<const std::uint8_t> PackImage(std::span<const std::uint8_t> pack) {
  if (pack.size() < PackHeaderSize) {
    return {};
  }
  std::size_t size = 0;
  for (std::size_t i = 4; i-- > 0;) {
    size = size << 8 | pack[PackImageSizeOffset + i];
  }
  return pack.subspan(PackHeaderSize, std::min(size, pack.size() - PackHeaderSize));
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, bytes.data(), bytes.size());
  std::string hex;
  CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex), false);
  encoder.Put(digest, sizeof digest);
  encoder.MessageEnd();
  return hex;
}

std::string CommandName(const KeyRequestRecord& request) {
  if (!request.framed) {
    return "unframed";
  }
  switch (request.command) {
    case simkey::CmdQuery:
      return "Query";
    case simkey::CmdHandshake:
      return "Handshake";
    case simkey::CmdSetup:
      return "Setup";
    case simkey::CmdFinal:
      return "Final";
    case simkey::CmdCancelUpdate:
      return "CancelUpdate";
    case simkey::CmdWrite:
      return "Write";
    case simkey::CmdGetHash:
      return "GetHash";
    case simkey::CmdDeploy:
      return "Deploy";
    default: {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", request.command);
      return code;
    }
  }
}

// "23: Query 2, Handshake 1, ...", commands in the order they first arrived.
std::string RequestCounts(const std::vector<KeyRequestRecord>& requests) {
  std::vector<std::pair<std::string, unsigned>> counts;
  for (const KeyRequestRecord& request : requests) {
    const std::string name = CommandName(request);
    auto found = std::find_if(counts.begin(), counts.end(),
                              [&name](const auto& count) { return count.first == name; });
    if (found == counts.end()) {
      counts.emplace_back(name, 1);
    } else {
      ++found->second;
    }
  }
  std::string text = std::to_string(requests.size());
  for (std::size_t index = 0; index < counts.size(); ++index) {
    text += (index == 0 ? ": " : ", ") + counts[index].first + " " +
            std::to_string(counts[index].second);
  }
  return text;
}

std::string ImageLine(const std::optional<SimKeyUpdate>& update) {
  if (!update) {
    return "none received";
  }
  std::string text = std::to_string(update->image.size()) + " of " +
                     std::to_string(update->imageSize) + " bytes received, ";
  if (update->installed) {
    return text + "installed";
  }
  return text + (update->deployed ? "deployed, not installed" : "not installed");
}

}  // namespace

std::string KeyReport(const SimKey& key, std::uint8_t firmwareMajorBefore,
                      std::uint8_t firmwareMinorBefore, std::span<const std::uint8_t> pack,
                      std::optional<std::chrono::steady_clock::duration> took) {
  const SimKeyFirmwareConfig& state = key.Firmware().State();
  const std::optional<SimKeyUpdate>& update = key.Firmware().LatestUpdate();
  const std::string packDigest = Sha256Hex(PackImage(pack));

  std::string report = "  firmware       " + std::to_string(firmwareMajorBefore) + "." +
                       std::to_string(firmwareMinorBefore) + " -> " +
                       std::to_string(state.firmwareMajor) + "." +
                       std::to_string(state.firmwareMinor) + "\n";
  report += "  image          " + ImageLine(update) + "\n";
  if (update) {
    const std::string imageDigest = Sha256Hex(update->image);
    report += "  image SHA-256  " + imageDigest + "\n";
    report += "  pack SHA-256   " + packDigest +
              (imageDigest == packDigest ? " (match)\n" : " (mismatch)\n");
  } else {
    report += "  pack SHA-256   " + packDigest + "\n";
  }
  report += "  requests       " + RequestCounts(key.Firmware().Requests()) + "\n";

  const SimKey::Counters& counts = key.Counts();
  report += "  USB            " + std::to_string(key.ControlRequests().size()) +
            " control requests; bulk OUT " + std::to_string(counts.outTransfers) + " transfers, " +
            std::to_string(counts.outPackets) + " packets; bulk IN " +
            std::to_string(counts.inPackets) + " packets\n";

  char seconds[32] = "no update began";
  if (took) {
    std::snprintf(seconds, sizeof seconds, "%.2f s", std::chrono::duration<double>(*took).count());
  }
  report += "  update took    " + std::string(seconds) + "\n";
  return report;
}

}  // namespace nevrik::usbbus
