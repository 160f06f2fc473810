#include "app/serial_match.h"

namespace nevrik {

bool SerialNumbersMatch(std::string_view serialNumber, std::string_view named) {
  return serialNumber == named;
}

}  // namespace nevrik
