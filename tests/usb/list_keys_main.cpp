// nevrik-list-keys: lists the NEVRIK keys the platform's enumerator finds, one device path a
// line, then "keys N" and "inaccessible N" (candidates it had no permission to inspect). The
// transport prints nothing itself, so anything else on the output is a fault.
#include <cstdio>
#include <memory>
#include <string>

#include "usb/platform_enumerator.h"
#include "usb/usb_access_report.h"

int main() {
  const std::unique_ptr<nevrik::KvUsbEnumerator> enumerator = nevrik::MakePlatformEnumerator();
  enumerator->Enumerate();
  for (unsigned index = 0; index < enumerator->GetCount(); ++index) {
    std::unique_ptr<nevrik::KvUsbDevice> device;
    const nevrik::UsbOpenResult result = enumerator->OpenDevice(index, device);
    std::printf("key %u: open result %d\n", index, static_cast<int>(result));
  }
  const auto* report = dynamic_cast<const nevrik::UsbAccessReport*>(enumerator.get());
  std::printf("keys %u\ninaccessible %u\n", enumerator->GetCount(),
              report != nullptr ? report->GetInaccessibleCount() : 0);
  return 0;
}
