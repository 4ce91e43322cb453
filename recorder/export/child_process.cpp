#include "recorder/export/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "recorder/recovery/utf8.h"

extern char** environ;

namespace recorder::exporter {
namespace {

using Clock = std::chrono::steady_clock;

// One owned descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A pipe whose read end is non-blocking; both ends close on exec.
IoResult<std::pair<Fd, Fd>> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return IoError::last_os_error();
  Fd read_end(fds[0]);
  Fd write_end(fds[1]);
  const int flags = ::fcntl(read_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) return IoError::last_os_error();
  return std::pair<Fd, Fd>{std::move(read_end), std::move(write_end)};
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attr{};
  bool actions_ready = false;
  bool attr_ready = false;
  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    if (attr_ready) posix_spawnattr_destroy(&attr);
  }
};

// A spawned child, killed and reaped when it goes unless it was reaped already.
class RunningChild {
 public:
  explicit RunningChild(pid_t pid) : pid_(pid) {}
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  ~RunningChild() {
    if (!reaped_) kill_and_reap();
  }

  // The wait status once it has exited; nothing while it runs; an error when the wait fails.
  IoResult<std::optional<int>> try_wait() {
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return std::optional<int>(status);
      }
      if (r == 0) return std::optional<int>();
      if (errno != EINTR) return IoError::last_os_error();
    }
  }

  void kill_and_reap() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// One captured output: the pipe's read end and the last kChildCaptureLimit bytes read from it.
struct Capture {
  Fd fd;
  std::vector<std::uint8_t> bytes;

  void keep_tail() {
    if (bytes.size() > kChildCaptureLimit) {
      bytes.erase(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(kChildCaptureLimit));
    }
  }

  // Reads what the pipe holds now; closes it at its end.
  IoResult<void> drain() {
    std::array<std::uint8_t, 16384> chunk{};
    while (fd.open()) {
      const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
      if (n > 0) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
        if (bytes.size() > 2 * kChildCaptureLimit) keep_tail();
      } else if (n == 0) {
        fd.reset();
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      } else if (errno != EINTR) {
        return IoError::last_os_error();
      }
    }
    return {};
  }
};

// Waits up to the poll period for output on the open captures and reads it.
IoResult<void> pump(Capture& out, Capture& err) {
  std::array<pollfd, 2> fds{};
  std::array<Capture*, 2> owners{};
  nfds_t n = 0;
  for (Capture* c : {&out, &err}) {
    if (c->fd.open()) {
      fds[n] = pollfd{c->fd.get(), POLLIN, 0};
      owners[n++] = c;
    }
  }
  // With both pipes closed this is a plain sleep of one period.
  const int ready = ::poll(fds.data(), n, kChildPollPeriodMs);
  if (ready < 0) {
    if (errno == EINTR) return {};
    return IoError::last_os_error();
  }
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents != 0) {
      if (auto r = owners[i]->drain(); !r) return r;
    }
  }
  return {};
}

}  // namespace

bool ChildOutput::success() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

IoResult<ChildOutput> run_child_with_timeout(const ChildCommand& command, std::uint64_t timeout_s,
                                             std::string_view name) {
  const auto deadline =
      Clock::now() +
      std::chrono::seconds(static_cast<std::int64_t>(std::min<std::uint64_t>(timeout_s, 100ULL * 365 * 24 * 3600)));
  auto out_pipe = make_pipe();
  if (!out_pipe) return out_pipe.error();
  auto err_pipe = make_pipe();
  if (!err_pipe) return err_pipe.error();

  SpawnSetup setup;
  if (int e = posix_spawn_file_actions_init(&setup.actions); e != 0) return IoError::os(e);
  setup.actions_ready = true;
  if (int e = posix_spawnattr_init(&setup.attr); e != 0) return IoError::os(e);
  setup.attr_ready = true;
  sigset_t none;
  sigemptyset(&none);
  int e = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (e == 0) e = posix_spawn_file_actions_adddup2(&setup.actions, out_pipe->second.get(), STDOUT_FILENO);
  if (e == 0) e = posix_spawn_file_actions_adddup2(&setup.actions, err_pipe->second.get(), STDERR_FILENO);
  if (e == 0) e = posix_spawnattr_setsigmask(&setup.attr, &none);
  if (e == 0) e = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK);
  if (e != 0) return IoError::os(e);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const auto& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  // A bare name is looked up on the search path, as a shell would.
  e = posix_spawnp(&pid, command.program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  if (e != 0) return IoError::os(e);
  RunningChild child(pid);
  out_pipe->second.reset();
  err_pipe->second.reset();
  Capture out{std::move(out_pipe->first), {}};
  Capture err{std::move(err_pipe->first), {}};

  for (;;) {
    auto waited = child.try_wait();
    if (!waited) {
      child.kill_and_reap();
      return waited.error();
    }
    if (*waited) {
      // Whatever the child wrote before it exited is in the pipes now.
      if (auto r = out.drain(); !r) return r.error();
      if (auto r = err.drain(); !r) return r.error();
      out.keep_tail();
      err.keep_tail();
      return ChildOutput{**waited, std::move(out.bytes), std::move(err.bytes)};
    }
    if (Clock::now() >= deadline) {
      child.kill_and_reap();
      return IoError::timed_out(std::string(name) + " timed out after " + std::to_string(timeout_s) + "s");
    }
    if (auto r = pump(out, err); !r) return r.error();
  }
}

std::string describe_wait_status(int status) {
  if (WIFEXITED(status)) return "exit status: " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    std::string text = "signal: " + std::to_string(sig);
    if (const char* abbrev = sigabbrev_np(sig)) text += std::string(" (SIG") + abbrev + ")";
    if (WCOREDUMP(status)) text += " (core dumped)";
    return text;
  }
  return "unrecognised wait status: " + std::to_string(status);
}

std::string utf8_lossy(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  out.reserve(bytes.size());
  std::size_t skip = 0;
  for (std::size_t i = 0; i < text.size();) {
    // The longest valid prefix of a broken sequence becomes one replacement character.
    const std::size_t len = utf8_sequence_at(text, i, skip);
    if (len != 0) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out.append(kReplacement);
      i += skip;
    }
  }
  return out;
}

std::string trim_whitespace(std::string_view text) {
  constexpr std::string_view kBlank = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlank);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace recorder::exporter
