#include "app/firmware_pack.h"

#include <cstring>

#include "app/log.h"

namespace nevrik {

namespace {

constexpr char Magic[8] = {'N', 'V', 'R', 'K', 'F', 'I', 'R', 'M'};
constexpr std::size_t HeaderLengthOffset = 8;
constexpr std::size_t ImageSizeOffset = 20;

std::uint32_t ReadLittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset,
                               std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = width; i-- > 0;) {
    value = (value << 8) | bytes[offset + i];
  }
  return value;
}

}  // namespace

std::span<const std::uint8_t, FirmwarePack::SetupParametersSize> FirmwarePack::SetupParameters()
    const {
  return data.subspan<SetupParametersOffset, SetupParametersSize>();
}

std::uint32_t FirmwarePack::ImageSize() const {
  return data.size() < HeaderLength ? 0 : ReadLittleEndian(data, ImageSizeOffset, 4);
}

std::span<const std::uint8_t> FirmwarePack::Image() const {
  const std::uint64_t end = std::uint64_t{HeaderLength} + ImageSize();
  if (data.size() < end) {
    return {};
  }
  return data.subspan(HeaderLength, ImageSize());
}

bool ValidatePack(const FirmwarePack& pack) {
  const std::span<const std::uint8_t> data = pack.Data();
  if (data.size() < FirmwarePack::HeaderLength ||
      std::memcmp(data.data(), Magic, sizeof Magic) != 0) {
    Log(LogLevel::Verbose, "Firmware pack file is not valid pack format.\n");
    return false;
  }
  if (ReadLittleEndian(data, HeaderLengthOffset, 2) != FirmwarePack::HeaderLength) {
    Log(LogLevel::Verbose, "Firmware pack file is broken.\n");
    return false;
  }
  if (std::uint64_t{pack.ImageSize()} + FirmwarePack::HeaderLength != data.size()) {
    Log(LogLevel::Verbose, "Firmware pack file is broken.\n");
    return false;
  }
  return true;
}

}  // namespace nevrik
