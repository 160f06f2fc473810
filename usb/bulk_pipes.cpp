#include "usb/bulk_pipes.h"

#include <algorithm>

namespace nevrik {

void BulkPipes::Clear() {
  inPipes.clear();
  outPipes.clear();
}

const InPipe* BulkPipes::FindIn(std::uint8_t pipeId) const {
  return FindInPipe(inPipes, pipeId);
}

InPipe* BulkPipes::FindIn(std::uint8_t pipeId) {
  return FindInPipe(inPipes, pipeId);
}

bool BulkPipes::Contains(std::uint8_t pipeId) const {
  return std::any_of(outPipes.begin(), outPipes.end(),
                     [pipeId](const OutPipe& pipe) { return pipe.pipeId == pipeId; }) ||
         std::any_of(inPipes.begin(), inPipes.end(),
                     [pipeId](const InPipe& pipe) { return pipe.pipeId == pipeId; });
}

bool BulkPipes::EnableShortPacketTerminate(std::uint8_t pipeId) {
  for (OutPipe& pipe : outPipes) {
    if (pipe.pipeId == pipeId) {
      pipe.shortPacketTerminate = true;
      return true;
    }
  }
  if (InPipe* pipe = FindIn(pipeId)) {
    pipe->shortPacketTerminate = true;
    return true;
  }
  return false;
}

bool BulkPipes::DropStaged(std::uint8_t pipeId) {
  if (InPipe* pipe = FindIn(pipeId)) {
    pipe->DropStaged();
    return true;
  }
  return Contains(pipeId);
}

}  // namespace nevrik
