#pragma once
// A fake outside peer for tests: runs `node SCRIPT ARGS...` as a child
// process, waits for its first line on standard output (the "ready line",
// typically the port it listens on) and stops it when the object goes away.
//
//   lumora::test::NodePeer peer(LUMORA_NODE_DIR "/http_peer.js");
//   ASSERT_TRUE(peer.ok()) << peer.error();
//   int port = peer.port();
//
// Further stdout lines are collected by a reader thread (lines()), so a
// chatty peer never blocks on a full pipe. Standard error is inherited, so
// whatever the peer logs appears in the test output. The child gets SIGKILL
// when the thread that created it exits (PR_SET_PDEATHSIG), so a crashed test
// leaves no peer behind: create peers on the test's main thread (fixtures and
// SetUpTestSuite run there).
//
// The node program is $LUMORA_NODE_BIN when set, else "node" from PATH. When
// LUMORA_NODE_DIR is defined, NODE_PATH points at its node_modules so peers
// anywhere can require('ws').
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace lumora::test {

class NodePeer {
 public:
  explicit NodePeer(std::string script, std::vector<std::string> args = {},
                    std::chrono::milliseconds ready_timeout = std::chrono::seconds(15)) {
    start(std::move(script), std::move(args), ready_timeout);
  }
  ~NodePeer() { stop(); }
  NodePeer(const NodePeer&) = delete;
  NodePeer& operator=(const NodePeer&) = delete;

  // True once the ready line arrived.
  bool ok() const { return ready_; }
  const std::string& error() const { return error_; }
  const std::string& ready_line() const { return ready_line_; }
  pid_t pid() const { return pid_; }

  // The ready line read as a decimal port; 0 when it is not one.
  int port() const {
    char* end = nullptr;
    long value = std::strtol(ready_line_.c_str(), &end, 10);
    return (end != ready_line_.c_str() && value > 0 && value < 65536) ? static_cast<int>(value) : 0;
  }

  // Standard output lines after the ready line, so far.
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    return lines_;
  }

  // Sends SIGTERM, waits up to two seconds, then SIGKILL; reaps the child.
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      bool reaped = false;
      for (int i = 0; i < 200 && !reaped; ++i) {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) reaped = true;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!reaped) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
      }
      pid_ = -1;
    }
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
    if (out_fd_ >= 0) {
      ::close(out_fd_);
      out_fd_ = -1;
    }
  }

 private:
  void start(std::string script, std::vector<std::string> args,
             std::chrono::milliseconds ready_timeout) {
    const char* node_env = std::getenv("LUMORA_NODE_BIN");
    std::string node = node_env && *node_env ? node_env : "node";
    std::vector<std::string> argv_texts{node, std::move(script)};
    for (auto& a : args) argv_texts.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& a : argv_texts) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_texts;
    for (char** e = environ; e && *e; ++e) {
      if (std::strncmp(*e, "NODE_PATH=", 10) != 0) env_texts.emplace_back(*e);
    }
#ifdef LUMORA_NODE_DIR
    env_texts.emplace_back(std::string("NODE_PATH=") + LUMORA_NODE_DIR + "/node_modules");
#endif
    std::vector<char*> envp;
    for (auto& e : env_texts) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error_ = std::string("pipe: ") + std::strerror(errno);
      return;
    }
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
      error_ = std::string("fork: ") + std::strerror(errno);
      ::close(fds[0]);
      ::close(fds[1]);
      return;
    }
    if (pid_ == 0) {
      // Child: only async-signal-safe calls until exec.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(fds[1], STDOUT_FILENO);
      int null_fd = ::open("/dev/null", O_RDONLY);
      if (null_fd >= 0) ::dup2(null_fd, STDIN_FILENO);
      ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_fd_ = fds[0];

    auto deadline = std::chrono::steady_clock::now() + ready_timeout;
    std::string pending;
    while (!ready_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        error_ = "no ready line from " + argv_texts[1] + " in time";
        break;
      }
      pollfd p{out_fd_, POLLIN, 0};
      int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) continue;
      char buf[4096];
      ssize_t got = ::read(out_fd_, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        error_ = "peer " + argv_texts[1] + " ended before its ready line";
        break;
      }
      pending.append(buf, static_cast<size_t>(got));
      size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        ready_line_ = pending.substr(0, nl);
        if (!ready_line_.empty() && ready_line_.back() == '\r') ready_line_.pop_back();
        pending.erase(0, nl + 1);
        ready_ = true;
      }
    }
    if (!ready_) {
      stop();
      return;
    }
    reader_ =
        std::thread([this, rest = std::move(pending)]() mutable { read_lines(std::move(rest)); });
  }

  void read_lines(std::string pending) {
    for (;;) {
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        lines_.push_back(pending.substr(0, nl));
        pending.erase(0, nl + 1);
      }
      if (stopping_) return;
      pollfd p{out_fd_, POLLIN, 0};
      int n = ::poll(&p, 1, 50);
      if (n <= 0) continue;
      char buf[4096];
      ssize_t got = ::read(out_fd_, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      pending.append(buf, static_cast<size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool ready_ = false;
  std::string ready_line_;
  std::string error_;
  std::thread reader_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lines_mutex_;
  std::vector<std::string> lines_;
};

}  // namespace lumora::test
