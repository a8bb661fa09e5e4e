#include "relay/file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace lumora::relay {

namespace {

std::atomic<unsigned long> temp_counter{0};

bool write_all(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes bytes into a new file beside path whose name no other process,
// thread or call uses (O_EXCL makes sure); returns its path, or empty.
std::string write_temp_beside(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." +
                     std::to_string(::gettid()) + "." + std::to_string(++temp_counter);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return {};
  bool ok = write_all(fd, bytes);
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(temp.c_str());
    return {};
  }
  return temp;
}

}  // namespace

PublishResult publish_new_file(const std::string& path, std::string_view bytes) {
  struct stat info;
  // The common case while a consumer has not yet taken the file: nothing to write.
  if (::stat(path.c_str(), &info) == 0) return PublishResult::already_present;
  std::string temp = write_temp_beside(path, bytes);
  if (temp.empty()) return PublishResult::failed;
  PublishResult result = PublishResult::written;
  // link(2) never replaces: EEXIST means a file appeared meanwhile, which stays.
  if (::link(temp.c_str(), path.c_str()) != 0) {
    int link_error = errno;
    if (link_error == EEXIST) {
      result = PublishResult::already_present;
    } else if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      // File systems without hard links: the same no-replace move.
      return PublishResult::written;
    } else {
      result = errno == EEXIST ? PublishResult::already_present : PublishResult::failed;
    }
  }
  ::unlink(temp.c_str());
  return result;
}

bool replace_file(const std::string& path, std::string_view bytes) {
  std::string temp = write_temp_beside(path, bytes);
  if (temp.empty()) return false;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string read_whole_file(const std::string& path) {
  std::string bytes;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) bytes.clear();  // a file that cannot be read reads as empty
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

}  // namespace lumora::relay
