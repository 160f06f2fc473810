#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "usbbus/unique_fd.h"

namespace nevrik::usbbus {

// The testbed's folder as this process (root) changes it while commands of another user run in
// it. Every change is made relative to folders opened one step at a time without following a
// link, so a link put in a folder's place is never followed. Opened to a user, the top folder
// stays root's, in the user's group with mode 1770: the user may add entries of their own (the
// preload makes each process's event sockets there) but, for the sticky bit, may not rename or
// replace root's; every folder below it is root's and writable by root alone.
class TestbedFolder {
 public:
  // Throws std::runtime_error when the folder cannot be opened.
  explicit TestbedFolder(const std::string& path);

  // The folder at a path relative to the top ("dev/bus/usb/001"). Every step must be a folder of
  // this process's user, and is left with mode 0755; a missing one is made when make is true.
  // An invalid descriptor when a step is missing (and not to be made), is a link or is not ours.
  UniqueFd Folder(std::string_view path, bool make) const;

  // Sets the group and mode of an entry of a folder that Folder gave, unless it is a link.
  static bool SetGroupAndMode(int folder, const std::string& name, gid_t group, mode_t mode);

  // Lets the group add entries to the top folder, once the names that umockdev and its preload
  // use there (dev, ioctl, proc, sys) are root's folders, so that no user can claim them first.
  bool OpenTo(gid_t group) const;

  // Closes the top folder to everyone but root and removes every entry of it that is not root's.
  // Each of their folders is made root's and closed before it is read, so that nothing in it can
  // be swapped while it goes; what remains is root's alone, for umockdev to remove. False when
  // something could not be removed.
  bool CloseAndClearOut() const;

 private:
  UniqueFd top;
};

}  // namespace nevrik::usbbus
