#include "e2e/disk_faults.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace ktarn::e2e {

namespace {

std::optional<std::string> no_preparation(const std::string&) {
  return std::nullopt;
}

void nothing_to_dispose(const std::string&) {}

std::optional<std::string> errno_reason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The child inherits both the limit and the ignored signal, so its writes fail with EFBIG.
DiskFault file_size_limit() {
  auto saved = std::make_shared<rlimit>();
  return {"file size limit of zero",
          no_preparation,
          [saved](const std::string&) -> std::optional<std::string> {
            if (::getrlimit(RLIMIT_FSIZE, saved.get()) != 0) return errno_reason("getrlimit");
            const rlimit none{0, saved->rlim_max};
            if (::setrlimit(RLIMIT_FSIZE, &none) != 0) return errno_reason("setrlimit");
            std::signal(SIGXFSZ, SIG_IGN);
            return std::nullopt;
          },
          [saved](const std::string&) {
            ::setrlimit(RLIMIT_FSIZE, saved.get());
            std::signal(SIGXFSZ, SIG_DFL);
          },
          nothing_to_dispose,
          false};
}

// A small file system of its own for the folder, then filled to the last block.
DiskFault full_file_system() {
  return {"full file system",
          [](const std::string& folder) -> std::optional<std::string> {
            std::filesystem::create_directories(folder);
            if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0) {
              return errno_reason("mounting a tmpfs");
            }
            return std::nullopt;
          },
          [](const std::string& folder) -> std::optional<std::string> {
            std::ofstream filler(folder + "/filler", std::ios::binary);
            const std::string block(4096, 'f');
            while (filler.write(block.data(), block.size())) {
            }
            return std::nullopt;
          },
          [](const std::string& folder) { std::filesystem::remove(folder + "/filler"); },
          [](const std::string& folder) { ::umount(folder.c_str()); },
          true};
}

bool set_immutable(const std::string& path, bool immutable) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return done;
}

// As root, file modes stop nothing; an immutable folder and file do.
DiskFault immutable_folder() {
  auto entries = [](const std::string& folder) {
    std::vector<std::string> paths{folder};
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      paths.push_back(entry.path());
    }
    return paths;
  };
  return {"immutable keychain folder",
          no_preparation,
          [entries](const std::string& folder) -> std::optional<std::string> {
            for (const std::string& path : entries(folder)) {
              if (!set_immutable(path, true)) return errno_reason("setting the immutable flag");
            }
            return std::nullopt;
          },
          [entries](const std::string& folder) {
            for (const std::string& path : entries(folder)) set_immutable(path, false);
          },
          nothing_to_dispose,
          true};
}

// Only processes that reach the folder by its path after the mount feel it: a companion that
// opened the folder before holds it through the writable mount below.
DiskFault read_only_mount() {
  return {"read-only bind mount",
          no_preparation,
          [](const std::string& folder) -> std::optional<std::string> {
            if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
              return errno_reason("bind mount");
            }
            if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                        nullptr) != 0) {
              ::umount(folder.c_str());
              return errno_reason("read-only remount");
            }
            return std::nullopt;
          },
          [](const std::string& folder) { ::umount(folder.c_str()); },
          nothing_to_dispose,
          false};
}

}  // namespace

std::vector<DiskFault> disk_faults() {
  return {file_size_limit(), full_file_system(), immutable_folder(), read_only_mount()};
}

}  // namespace ktarn::e2e
