#include "bridge/platform/software/keychain/keychain_folder.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace ktarn::platform::software {

namespace {

// How many folders directly above the file belong to the keychain (Library, Keychains).
constexpr std::size_t kKeychainFolders = 2;

struct PathParts {
  std::string home;
  std::vector<std::string> folders;  // the keychain's own, outermost first
  std::string file_name;
};

// The path's components, or none when the path is not absolute or a component the keychain
// owns is "." or "..", which would step out of the folder it names.
std::optional<PathParts> split(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::vector<std::string> components;
  for (std::size_t start = 0; start < path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) components.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (components.empty() || path.back() == '/') return std::nullopt;
  const std::size_t own = std::min(components.size(), kKeychainFolders + 1);
  PathParts parts;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::string& component = components[i];
    if (i < components.size() - own) {
      parts.home += '/';
      parts.home += component;
    } else if (component == "." || component == "..") {
      return std::nullopt;
    } else if (i + 1 < components.size()) {
      parts.folders.push_back(component);
    } else {
      parts.file_name = component;
    }
  }
  if (parts.home.empty()) parts.home.push_back('/');
  return parts;
}

OSStatus vet_folder_state(const struct stat& info) {
  if (!S_ISDIR(info.st_mode)) return errSecInvalidKeychain;
  if (info.st_uid != effective_user() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return errSecWrPerm;
  }
  return errSecSuccess;
}

OSStatus vet_folder(int folder, struct stat& info) {
  if (::fstat(folder, &info) != 0) return status_from_errno(errno);
  return vet_folder_state(info);
}

// The folder name inside parent, opened without following a link and vetted (its state left in
// info); made first when it is missing and create is set.
StatusOr<FileDescriptor> enter_folder(int parent, const std::string& name, bool create,
                                      struct stat& info) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  bool made = false;
  FileDescriptor folder(::openat(parent, name.c_str(), kFlags));
  if (!folder.is_open() && errno == ENOENT && create) {
    if (::mkdirat(parent, name.c_str(), 0700) == 0) {
      made = true;
    } else if (errno != EEXIST) {  // another process made it first: vet theirs like any other
      return Unexpected(status_from_errno(errno));
    }
    folder = FileDescriptor(::openat(parent, name.c_str(), kFlags));
  }
  if (!folder.is_open()) {
    // ELOOP: a symbolic link; ENOTDIR: a file or a link to one.
    if (errno == ELOOP || errno == ENOTDIR) return Unexpected(errSecInvalidKeychain);
    return Unexpected(status_from_errno(errno));
  }
  // The umask must not leave a folder made here unusable.
  if (made && ::fchmod(folder.get(), 0700) != 0) return Unexpected(status_from_errno(errno));
  if (OSStatus status = vet_folder(folder.get(), info); status != errSecSuccess) {
    return Unexpected(status);
  }
  return folder;
}

}  // namespace

uid_t effective_user() {
  static const uid_t user = ::geteuid();
  return user;
}

StatusOr<KeychainFolder> open_keychain_folder(std::string_view path, bool create) {
  auto parts = split(path);
  if (!parts) return Unexpected(errSecNoSuchKeychain);
  FileDescriptor folder(::open(parts->home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.is_open()) return Unexpected(status_from_errno(errno));
  struct stat info {};
  // A file directly in the home has the home as its folder, which must then pass too.
  if (parts->folders.empty()) {
    if (OSStatus status = vet_folder(folder.get(), info); status != errSecSuccess) {
      return Unexpected(status);
    }
  }
  for (const std::string& name : parts->folders) {
    auto inner = enter_folder(folder.get(), name, create, info);
    if (!inner) return Unexpected(inner.error());
    folder = std::move(*inner);
  }
  return KeychainFolder{std::move(folder), identity_of(info), std::move(parts->file_name)};
}

// Each keychain folder's own entry, so a symbolic link shows as one; the home above them is
// followed, as the walk follows it. A folder has a single parent, so reaching the held folder's
// identity means the path leads to that very folder.
bool still_leads_to(std::string_view path, const KeychainFolder& folder, struct stat& info) {
  auto parts = split(path);
  if (!parts || parts->file_name != folder.file_name) return false;
  std::string walked = std::move(parts->home);
  if (parts->folders.empty() && ::stat(walked.c_str(), &info) != 0) return false;
  if (parts->folders.empty() && vet_folder_state(info) != errSecSuccess) return false;
  for (const std::string& name : parts->folders) {
    if (walked.back() != '/') walked += '/';
    walked += name;
    if (::lstat(walked.c_str(), &info) != 0 || vet_folder_state(info) != errSecSuccess) {
      return false;
    }
  }
  return identity_of(info) == folder.identity;
}

}  // namespace ktarn::platform::software
