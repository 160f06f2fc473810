#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/usb_function.h"

namespace nevrik::usbbus {

// What one ioctl gives its caller: the return value, and errno when that is -1.
struct IoctlResult {
  long value = 0;
  int error = 0;
};

// One URB a client submitted, as the bus saw it.
struct UrbRecord {
  std::uint8_t type;  // USBDEVFS_URB_TYPE_*
  std::uint8_t endpoint;
  int length;
  unsigned flags;  // USBDEVFS_URB_*
};

struct IoctlDataRelease {
  void operator()(UMockdevIoctlData* data) const { g_object_unref(data); }
};
using IoctlData = std::unique_ptr<UMockdevIoctlData, IoctlDataRelease>;

// One plugged-in device as the kernel's usbfs presents it on a device node, in front of a
// SimUsbFunction: URBs are carried to and from the function packet by packet, interfaces are
// claimed, released and checked as the kernel checks them, kernel drivers are bound and unbound,
// and completed URBs wait until their client reaps them.
//
// Bulk OUT URBs are cut into packets of the endpoint's maximum packet size (an empty URB is one
// zero-length packet; USBDEVFS_URB_ZERO_PACKET adds one after a URB that fills its last packet).
// A bulk IN URB completes when its length has arrived or a short packet ends the transfer; while
// the function answers NAK it stays pending until RetryPendingIn finds data.
//
// Readiness: libusb polls the node for POLLOUT before it reaps. The node is a FIFO that this
// device keeps full while nothing can be reaped and drains by a page while something can.
//
// Not thread-safe: the bus calls every function with its lock held.
class UsbfsDevice {
 public:
  UsbfsDevice(std::shared_ptr<SimUsbFunction> function, std::uint8_t address, int speed,
              int readinessFifo);
  ~UsbfsDevice();
  UsbfsDevice(const UsbfsDevice&) = delete;
  UsbfsDevice& operator=(const UsbfsDevice&) = delete;

  IoctlResult Ioctl(UMockdevIoctlClient* client);
  // Asks the function again for the packets of IN URBs it answered with NAK.
  void RetryPendingIn();
  bool HasPendingIn() const;
  // The device left the bus: pending URBs end with ENODEV, and so does every later ioctl but a
  // reap of what has completed.
  void Unplug();
  // A client closed its node: its URBs and claims go.
  void ForgetClient(UMockdevIoctlClient* client);

  void BindKernelDriver(std::uint8_t interface, std::string driver);
  void SetClaimedElsewhere(std::uint8_t interface, bool claimed);
  // "usbfs" while a program holds the interface, the bound kernel driver's name, or empty.
  std::string DriverOf(std::uint8_t interface) const;
  const std::vector<UrbRecord>& SubmittedUrbs() const { return submittedUrbs; }
  void TraceIoctls(bool trace) { tracing = trace; }
  // The next reap fails with this errno, and the node reads as ready to reap until it has.
  void FailNextReap(int error);

 private:
  struct Endpoint {
    std::uint8_t interface;
    std::uint8_t alternateSetting;
    std::uint8_t address;
    std::uint8_t transferType;
    std::uint16_t maxPacketSize;
  };
  struct Urb {
    UMockdevIoctlClient* client;
    IoctlData fields;  // the client's struct usbdevfs_urb
    IoctlData buffer;  // its buffer; null when the URB has none
  };

  IoctlResult Submit(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  IoctlResult SubmitControl(Urb urb);
  IoctlResult SubmitBulk(Urb urb);
  void PumpIn(std::uint8_t endpoint);
  void Complete(Urb urb, int status, int actualLength);
  IoctlResult Discard(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  IoctlResult Reap(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  IoctlResult Claim(UMockdevIoctlClient* client, std::uint32_t interface);
  IoctlResult Release(UMockdevIoctlClient* client, std::uint32_t interface);
  IoctlResult CheckInterface(UMockdevIoctlClient* client, std::uint32_t interface);
  IoctlResult CheckRecipient(UMockdevIoctlClient* client, const UsbSetupPacket& setup);
  IoctlResult GetDriver(UMockdevIoctlData* argument);
  IoctlResult DriverIoctl(UMockdevIoctlData* argument);
  IoctlResult DisconnectClaim(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  IoctlResult SetInterface(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
  IoctlResult EndpointIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* argument,
                            bool clearHalt);
  IoctlResult StandardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                              std::uint16_t index);
  const Endpoint* FindEndpoint(std::uint8_t address) const;
  bool HasInterface(std::uint32_t interface) const;
  int AlternateSettingCount(std::uint8_t interface) const;
  void UpdateReadiness();

  std::shared_ptr<SimUsbFunction> function;
  std::uint8_t address;
  int speed;
  int readinessFifo;
  bool readyToReap = true;  // a new FIFO is empty, hence writable
  bool unplugged = false;
  bool tracing = false;
  int reapFailure = 0;

  std::vector<Endpoint> endpoints;  // every alternate setting of the configuration
  std::map<std::uint8_t, std::set<std::uint8_t>> alternateSettings;
  std::map<std::uint8_t, std::uint8_t> currentSettings;
  std::map<std::uint8_t, UMockdevIoctlClient*> claims;  // null: held by another program
  std::map<std::uint8_t, std::string> boundDrivers;
  std::map<std::uint8_t, std::string> matchingDrivers;  // bound again by USBDEVFS_CONNECT

  std::map<std::uint8_t, std::deque<Urb>> pendingIn;
  std::deque<Urb> completed;
  std::vector<UrbRecord> submittedUrbs;
};

}  // namespace nevrik::usbbus
