#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

std::vector<std::string> buildEnv(const RunOptions& o) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq == std::string::npos) continue;
    env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& name : o.unsetEnv) env.erase(name);
  for (const auto& [k, v] : o.env) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

void splitLines(std::string& buf, std::vector<std::string>& lines) {
  size_t pos;
  while ((pos = buf.find('\n')) != std::string::npos) {
    lines.push_back(buf.substr(0, pos));
    buf.erase(0, pos + 1);
  }
}

}  // namespace

std::vector<std::string> RunResult::errLines() const {
  std::vector<std::string> lines;
  std::string buf = err;
  splitLines(buf, lines);
  if (!buf.empty()) lines.push_back(buf);
  return lines;
}

std::vector<nlohmann::json> parseJsonLines(const std::vector<std::string>& lines) {
  std::vector<nlohmann::json> out;
  for (const auto& l : lines) {
    auto j = nlohmann::json::parse(l, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not a JSON line: " << l;
    if (!j.is_discarded()) out.push_back(j);
  }
  return out;
}

std::vector<nlohmann::json> RunResult::errEvents() const { return parseJsonLines(errLines()); }

std::vector<nlohmann::json> eventsOfType(const std::vector<nlohmann::json>& events, const std::string& type) {
  std::vector<nlohmann::json> out;
  for (const auto& e : events) {
    if (e.is_object() && e.value("type", "") == type) out.push_back(e);
  }
  return out;
}

Child::Child(const std::string& path, const RunOptions& o) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (o.stdoutBroken) {
    // Close the reader before the child exists, so its first write fails.
    close(out[0]);
    out[0] = -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  if (!o.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, o.cwd.c_str());
  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), o.args.begin(), o.args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto envStore = buildEnv(o);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  if (rc != 0) throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
  // A child that stops reading must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (!o.stdinData.empty()) writeStdin(o.stdinData);
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  for (int fd : {stdinFd_, stdoutFd_, stderrFd_}) {
    if (fd >= 0) close(fd);
  }
}

bool Child::writeStdin(const std::string& data) {
  if (stdinFd_ < 0) return false;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(stdinFd_, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

void Child::closeStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

// Reads whatever is ready on stdout and stderr within the time-out.
// Returns false when both streams have ended.
bool Child::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2];
  int n = 0;
  if (stdoutFd_ >= 0) fds[n++] = {stdoutFd_, POLLIN, 0};
  if (stderrFd_ >= 0) fds[n++] = {stderrFd_, POLLIN, 0};
  if (n == 0) return false;
  const int rc = poll(fds, static_cast<nfds_t>(n), static_cast<int>(timeout.count()));
  if (rc <= 0) return true;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[65536];
    ssize_t got = read(fds[i].fd, buf, sizeof buf);
    const bool isErr = fds[i].fd == stderrFd_;
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      close(fds[i].fd);
      (isErr ? stderrFd_ : stdoutFd_) = -1;
      if (isErr && !errBuf_.empty()) {
        lines_.push_back(errBuf_);
        result_.err += errBuf_;
        errBuf_.clear();
      }
      continue;
    }
    if (isErr) {
      errBuf_.append(buf, static_cast<size_t>(got));
      size_t pos;
      while ((pos = errBuf_.find('\n')) != std::string::npos) {
        lines_.push_back(errBuf_.substr(0, pos));
        result_.err += errBuf_.substr(0, pos + 1);
        errBuf_.erase(0, pos + 1);
      }
    } else {
      result_.out.append(buf, static_cast<size_t>(got));
    }
  }
  return stdoutFd_ >= 0 || stderrFd_ >= 0;
}

std::optional<std::string> Child::readErrLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (nextLine_ >= lines_.size()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (!pump(std::min(left, std::chrono::milliseconds(50))) && nextLine_ >= lines_.size()) return std::nullopt;
  }
  return lines_[nextLine_++];
}

std::optional<nlohmann::json> Child::waitForEvent(const std::string& type, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    auto line = readErrLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    if (!line) return std::nullopt;
    auto j = nlohmann::json::parse(*line, nullptr, false);
    if (j.is_object() && j.value("type", "") == type) return j;
  }
}

void Child::sendSignal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

RunResult Child::wait(std::chrono::milliseconds timeout, bool closeInput) {
  if (closeInput) closeStdin();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (!reaped_) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result_.timedOut = true;
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      reaped_ = true;
      break;
    }
    pump(std::chrono::milliseconds(20));
  }
  // Whatever is left in the pipes; bounded in case a grandchild holds them open.
  const auto drainUntil = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (pump(std::chrono::milliseconds(100)) && std::chrono::steady_clock::now() < drainUntil) {
  }
  if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.termSignal = WTERMSIG(status);
  return result_;
}

RunResult runProgram(const std::string& path, const RunOptions& options) {
  Child child(path, options);
  return child.wait(std::chrono::milliseconds(static_cast<long>(options.timeoutSeconds * 1000)));
}

}  // namespace testsupport
