#include "bridge/platform/software/keychain_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "bridge/platform/software/keychain_status.hpp"

namespace ktarn::platform::software {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// Far longer than any file system's time step.
constexpr std::int64_t kSettleNs = 2 * kNanosPerSecond;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Creates every missing folder on the way to the file, private to the user.
OSStatus make_parent_folders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) == 0) {
      // The umask must not leave the folder unusable or open to others.
      if (::chmod(folder.c_str(), 0700) != 0) return status_from_errno(errno);
    } else if (errno != EEXIST) {
      return status_from_errno(errno);
    }
  }
  return errSecSuccess;
}

// An empty keychain file, 0600 whatever the umask. Losing the race to another process that
// creates it first is fine: the caller then vets that file like any other.
OSStatus create_empty_file(const std::string& path) {
  FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) return errno == EEXIST ? errSecSuccess : status_from_errno(errno);
  if (::fchmod(file.get(), 0600) != 0) return status_from_errno(errno);
  return errSecSuccess;
}

// The process never changes its user, so asking once is enough.
uid_t effective_user() {
  static const uid_t user = ::geteuid();
  return user;
}

OSStatus vet(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return errSecInvalidKeychain;
  if (info.st_uid != effective_user() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return errSecWrPerm;
  }
  return errSecSuccess;
}

void record(const struct stat& info, FileIdentity& identity, FileChange& change) {
  identity = {info.st_dev, info.st_ino};
  change = {info.st_size, info.st_ctim.tv_sec * kNanosPerSecond + info.st_ctim.tv_nsec};
}

// A regular file of this user that the user may read is vetted from its entry alone: opening
// it could tell nothing more. Anything else takes the opening path, whose failure says why.
bool vets_without_opening(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_uid == effective_user() &&
         (effective_user() == 0 || (info.st_mode & S_IRUSR) != 0);
}

}  // namespace

OSStatus prepare_keychain_file(const std::string& path, FileIdentity& identity,
                               FileChange& change) {
  if (path.empty() || path.front() != '/') return errSecNoSuchKeychain;
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) == 0 && vets_without_opening(entry)) {
    record(entry, identity, change);
    return vet(entry);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() >= 0) {
      struct stat info {};
      if (::fstat(file.get(), &info) != 0) return status_from_errno(errno);
      record(info, identity, change);
      return vet(info);
    }
    if (errno != ENOENT || attempt > 0) return status_from_errno(errno);
    if (OSStatus status = make_parent_folders(path); status != errSecSuccess) return status;
    if (OSStatus status = create_empty_file(path); status != errSecSuccess) return status;
  }
  return errSecIO;
}

bool has_settled(const FileChange& change) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  return now.tv_sec * kNanosPerSecond + now.tv_nsec - change.changed_ns > kSettleNs;
}

bool is_same_file(const std::string& path, const FileIdentity& identity) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         info.st_dev == identity.device && info.st_ino == identity.inode;
}

}  // namespace ktarn::platform::software
