#include "bridge/platform/software/keychain/keychain_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace ktarn::platform::software {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// Far longer than any file system's time step.
constexpr std::int64_t kSettleNs = 2 * kNanosPerSecond;

// The files the database may create or read beside the keychain, by the suffix of their name.
constexpr const char* kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

constexpr mode_t kGroupAndOthers = S_IRWXG | S_IRWXO;

// An empty keychain file, 0600 whatever the umask. Losing the race to another process that
// creates it first is fine: the caller then vets that file like any other.
OSStatus create_empty_file(int folder, const std::string& name) {
  FileDescriptor file(
      ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.is_open()) return errno == EEXIST ? errSecSuccess : status_from_errno(errno);
  if (::fchmod(file.get(), 0600) != 0) return status_from_errno(errno);
  return errSecSuccess;
}

// A file the database may read: the user's own regular file, which nobody else can write and
// which the user can read.
OSStatus vet(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return errSecInvalidKeychain;
  if (info.st_uid != effective_user() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return errSecWrPerm;
  }
  if (effective_user() != 0 && (info.st_mode & S_IRUSR) == 0) return errSecWrPerm;
  return errSecSuccess;
}

// Whether none was there is left in none_present.
OSStatus vet_side_files(const KeychainFolder& folder, bool& none_present) {
  none_present = true;
  for (const char* suffix : kSideFileSuffixes) {
    const std::string name = folder.file_name + suffix;
    struct stat info {};
    if (::fstatat(folder.descriptor.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return status_from_errno(errno);
    }
    none_present = false;
    if (OSStatus status = vet(info); status != errSecSuccess) return status;
  }
  return errSecSuccess;
}

// Takes group and other access away from the vetted file, through a descriptor of that very
// file, and reports its state afterwards.
OSStatus tighten(const KeychainFolder& folder, struct stat& info) {
  FileDescriptor file(::openat(folder.descriptor.get(), folder.file_name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  if (!file.is_open() || ::fstat(file.get(), &opened) != 0) return status_from_errno(errno);
  if (identity_of(opened) != identity_of(info)) return errSecInvalidKeychain;
  if (::fchmod(file.get(), opened.st_mode & S_IRWXU) != 0 || ::fstat(file.get(), &info) != 0) {
    return status_from_errno(errno);
  }
  return errSecSuccess;
}

std::int64_t changed_ns(const struct stat& info) {
  return info.st_ctim.tv_sec * kNanosPerSecond + info.st_ctim.tv_nsec;
}

FileChange change_of(const struct stat& info) {
  return {info.st_size, changed_ns(info)};
}

// The keychain file's entry, created empty first when it is missing and access allows.
OSStatus find_file(const KeychainFolder& folder, KeychainAccess access, struct stat& info) {
  const int descriptor = folder.descriptor.get();
  const char* name = folder.file_name.c_str();
  if (::fstatat(descriptor, name, &info, AT_SYMLINK_NOFOLLOW) == 0) return errSecSuccess;
  if (errno != ENOENT || access == KeychainAccess::kReadOnly) return status_from_errno(errno);
  if (OSStatus status = create_empty_file(descriptor, folder.file_name); status != errSecSuccess) {
    return status;
  }
  if (::fstatat(descriptor, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return status_from_errno(errno);
  return errSecSuccess;
}

}  // namespace

StatusOr<VettedKeychain> vet_keychain_file(const std::string& path, KeychainAccess access) {
  auto folder = open_keychain_folder(path, access == KeychainAccess::kReadWrite);
  if (!folder) return Unexpected(folder.error());
  struct stat info {};
  if (OSStatus status = find_file(*folder, access, info); status != errSecSuccess) {
    return Unexpected(status);
  }
  if (OSStatus status = vet(info); status != errSecSuccess) return Unexpected(status);
  bool none_present = false;
  if (OSStatus status = vet_side_files(*folder, none_present); status != errSecSuccess) {
    return Unexpected(status);
  }
  if (access == KeychainAccess::kReadWrite && (info.st_mode & kGroupAndOthers) != 0) {
    if (OSStatus status = tighten(*folder, info); status != errSecSuccess) {
      return Unexpected(status);
    }
  }
  return VettedKeychain{std::move(*folder), identity_of(info), change_of(info)};
}

std::optional<FileChange> unchanged_keychain(const std::string& path, const KeychainFolder& folder,
                                             const FileIdentity& file, QuietFolder& quiet) {
  struct stat folder_state {};
  if (!still_leads_to(path, folder, folder_state)) return std::nullopt;
  struct stat info {};
  if (::fstatat(folder.descriptor.get(), folder.file_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      identity_of(info) != file || vet(info) != errSecSuccess ||
      (info.st_mode & kGroupAndOthers) != 0) {
    return std::nullopt;
  }
  const std::int64_t folder_changed = changed_ns(folder_state);
  if (folder_changed != quiet.changed_ns) {
    quiet.changed_ns = -1;
    bool none_present = false;
    if (vet_side_files(folder, none_present) != errSecSuccess) return std::nullopt;
    if (none_present && has_settled(folder_changed)) quiet.changed_ns = folder_changed;
  }
  return change_of(info);
}

bool has_settled(std::int64_t changed_ns) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  return now.tv_sec * kNanosPerSecond + now.tv_nsec - changed_ns > kSettleNs;
}

bool is_same_file(const KeychainFolder& folder, const FileIdentity& identity) {
  struct stat info {};
  return ::fstatat(folder.descriptor.get(), folder.file_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         S_ISREG(info.st_mode) && identity_of(info) == identity;
}

}  // namespace ktarn::platform::software
