#pragma once
// The built program as a child process for end-to-end tests: standard output
// collected line by line; killed when the object goes away if still running.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumora::test {

// A 127.0.0.1 port nobody listens on right now.
inline int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class ProgramRunner {
 public:
  ProgramRunner(const std::string& program, std::vector<std::string> args) {
    std::vector<std::string> texts{program};
    for (auto& a : args) texts.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& t : texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(fds[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
    reader_ = std::thread([this] {
      std::string pending;
      char buf[4096];
      for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
          std::lock_guard lock(mutex_);
          lines_.push_back(pending.substr(0, nl));
          pending.erase(0, nl + 1);
        }
      }
    });
  }
  ~ProgramRunner() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  ProgramRunner(const ProgramRunner&) = delete;
  ProgramRunner& operator=(const ProgramRunner&) = delete;

  bool started() const { return pid_ > 0; }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // How many output lines contain text.
  std::size_t count_lines(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
  }
  bool wait_for_lines(const std::string& text, std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (count_lines(text) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count_lines(text) >= count;
  }
  bool wait_for_line(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return wait_for_lines(text, 1, timeout);
  }
  // The exit code; -1 when killed by a signal or still running at the timeout.
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  int stop_with(int signal_number) {
    ::kill(pid_, signal_number);
    return wait_exit();
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace lumora::test
