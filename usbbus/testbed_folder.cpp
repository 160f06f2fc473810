#include "usbbus/testbed_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

namespace nevrik::usbbus {

namespace {

constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t OpenFolderMode = 0755;
constexpr mode_t SharedTopMode = 01770;
constexpr mode_t ClosedMode = 0700;

UniqueFd OpenFolder(int parent, const char* name) {
  return UniqueFd(openat(parent, name, FolderFlags));
}

bool IsOurs(const struct stat& entry) {
  return entry.st_uid == geteuid();
}

// Makes a folder root's and closed, so that its entries stay as they are.
bool Close(int folder) {
  return fchown(folder, geteuid(), getegid()) == 0 && fchmod(folder, ClosedMode) == 0;
}

// The names in a folder, read from a descriptor of its own.
std::optional<std::vector<std::string>> Entries(int folder) {
  const int reader = openat(folder, ".", FolderFlags);
  DIR* stream = reader >= 0 ? fdopendir(reader) : nullptr;
  if (stream == nullptr) {
    if (reader >= 0) {
      close(reader);
    }
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(stream);
  return names;
}

// Removes an entry and, if it is a folder, everything in it, without following a link. One
// descriptor at a time, whatever the depth: a folder is closed before it is read or entered, so
// what it holds stays as read and its ".." leads back to where it was.
bool RemoveTree(int parent, const std::string& name) {
  UniqueFd folder = OpenFolder(parent, name.c_str());
  if (!folder) {
    return unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
  }
  struct Level {
    std::string name;
    std::vector<std::string> left;  // entries still to remove
  };
  std::vector<Level> levels;  // from the parent's entry down to the folder open
  std::optional<std::vector<std::string>> entries;
  if (!Close(folder.Get()) || !(entries = Entries(folder.Get()))) {
    return false;
  }
  levels.push_back(Level{name, std::move(*entries)});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.left.empty()) {
      const std::string entry = std::move(level.left.back());
      level.left.pop_back();
      UniqueFd inner = OpenFolder(folder.Get(), entry.c_str());
      if (!inner) {
        if (unlinkat(folder.Get(), entry.c_str(), 0) != 0) {
          return false;
        }
        continue;
      }
      if (!Close(inner.Get()) || !(entries = Entries(inner.Get()))) {
        return false;
      }
      levels.push_back(Level{entry, std::move(*entries)});
      folder = std::move(inner);
      continue;
    }
    UniqueFd above = levels.size() > 1 ? OpenFolder(folder.Get(), "..") : UniqueFd(dup(parent));
    if (!above || unlinkat(above.Get(), level.name.c_str(), AT_REMOVEDIR) != 0) {
      return false;
    }
    levels.pop_back();
    folder = std::move(above);
  }
  return true;
}

}  // namespace

TestbedFolder::TestbedFolder(const std::string& path)
    : top(openat(AT_FDCWD, path.c_str(), FolderFlags)) {
  if (!top) {
    throw std::runtime_error("cannot open the testbed folder " + path);
  }
}

UniqueFd TestbedFolder::Folder(std::string_view path, bool make) const {
  UniqueFd folder(dup(top.Get()));
  while (folder && !path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string step(path.substr(0, slash));
    path = slash == std::string_view::npos ? "" : path.substr(slash + 1);
    UniqueFd next = OpenFolder(folder.Get(), step.c_str());
    if (!next && errno == ENOENT && make &&
        (mkdirat(folder.Get(), step.c_str(), OpenFolderMode) == 0 || errno == EEXIST)) {
      next = OpenFolder(folder.Get(), step.c_str());
    }
    struct stat status {};
    if (!next || fstat(next.Get(), &status) != 0 || !IsOurs(status) ||
        ((status.st_mode & 07777) != OpenFolderMode && fchmod(next.Get(), OpenFolderMode) != 0)) {
      return UniqueFd();
    }
    folder = std::move(next);
  }
  return folder;
}

bool TestbedFolder::SetGroupAndMode(int folder, const std::string& name, gid_t group, mode_t mode) {
  return fchownat(folder, name.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW) == 0 &&
         fchmodat(folder, name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

bool TestbedFolder::OpenTo(gid_t group) const {
  for (const char* name : {"dev", "ioctl", "proc", "sys"}) {
    if (!Folder(name, true)) {
      return false;
    }
  }
  return fchown(top.Get(), geteuid(), group) == 0 && fchmod(top.Get(), SharedTopMode) == 0;
}

bool TestbedFolder::CloseAndClearOut() const {
  if (!Close(top.Get())) {
    return false;
  }
  const std::optional<std::vector<std::string>> names = Entries(top.Get());
  if (!names) {
    return false;
  }
  bool cleared = true;
  for (const std::string& name : *names) {
    struct stat entry {};
    if (fstatat(top.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && !IsOurs(entry)) {
      cleared = RemoveTree(top.Get(), name) && cleared;
    }
  }
  return cleared;
}

}  // namespace nevrik::usbbus
