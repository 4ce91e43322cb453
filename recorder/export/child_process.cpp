#include "recorder/export/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "recorder/recovery/utf8.h"

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

// The child running now, 0 when none: the termination handler kills and
// reaps it. Set once the child exists; cleared before the child is reaped, so
// the handler never signals a process number that may have been reused.
std::atomic<pid_t> gRunningChild{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

void reap(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// SIGTERM and SIGINT: the encoder must not outlive the program (it would go
// on writing the output after the session lock is released), so the running
// child is killed and reaped before the usual failure exit.
// The failure line's start, set once before the handler is installed.
const char* gTerminationPrefix = "";

// write(2) of a whole text, from the signal handler.
void write_all_signal_safe(const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

extern "C" void end_with_child(int sig) {
  const pid_t pid = gRunningChild.exchange(0);
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    int status = 0;
    reap(pid, status);
  }
  // Every failure exit prints its one line; this one too, once the child is gone.
  const char* name = sig == SIGINT ? "SIGINT\n" : "SIGTERM\n";
  write_all_signal_safe(gTerminationPrefix, std::strlen(gTerminationPrefix));
  write_all_signal_safe(name, std::strlen(name));
  ::_exit(1);
}

// A spawned child, killed and reaped when it goes unless it was reaped already.
class RunningChild {
 public:
  // Takes the child spawn() published in gRunningChild.
  explicit RunningChild(pid_t pid) : pid_(pid) {}
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  ~RunningChild() {
    if (!reaped_) kill_and_reap();
  }

  // The wait status once it has exited; nothing while it runs; an error when the wait fails.
  IoResult<std::optional<int>> try_wait() {
    for (;;) {
      // Looks without reaping, so the number stays this child's until it is released.
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno == EINTR) continue;
        return IoError::last_os_error();
      }
      if (info.si_pid == 0) return std::optional<int>();
      int status = 0;
      release_and_reap(status);
      return std::optional<int>(status);
    }
  }

  void kill_and_reap() {
    ::kill(pid_, SIGKILL);
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    int status = 0;
    release_and_reap(status);
  }

 private:
  void release_and_reap(int& status) {
    gRunningChild.store(0);
    reap(pid_, status);
    reaped_ = true;
  }

  pid_t pid_;
  bool reaped_ = false;
};

// Puts a close-on-exec descriptor at `target`, open across exec.
bool install_as(int fd, int target) {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) >= 0;
}

// In the forked child: only async-signal-safe calls until exec. On failure
// the errno goes to the parent through the close-on-exec pipe.
[[noreturn]] void exec_child(char* const* argv, pid_t parent, int out_fd, int err_fd, int report_fd) {
  int failure = 0;
  // The child ends with the program, even when the program is killed outright.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) failure = errno;
  // The program may have gone before the request took effect.
  if (failure == 0 && ::getppid() != parent) ::_exit(127);
  if (failure == 0) {
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || !install_as(null_fd, STDIN_FILENO) || !install_as(out_fd, STDOUT_FILENO) ||
        !install_as(err_fd, STDERR_FILENO)) {
      failure = errno;
    }
  }
  if (failure == 0) {
    // The termination handler is reset by exec; the blocked set is not.
    sigset_t none;
    sigemptyset(&none);
    if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0) failure = errno;
  }
  if (failure == 0) {
    // A bare name is looked up on the search path, as a shell would.
    ::execvp(argv[0], argv);
    failure = errno;
  }
  while (::write(report_fd, &failure, sizeof failure) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// Forks and execs the command with the pipes' write ends as its outputs;
// the child's pid, or the error that kept it from starting.
IoResult<pid_t> spawn(const ChildCommand& command, int out_fd, int err_fd) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const auto& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return IoError::last_os_error();
  Fd report_read(report[0]);
  Fd report_write(report[1]);
  // The termination signals wait until the child is published for their handler.
  sigset_t termination, previous;
  sigemptyset(&termination);
  sigaddset(&termination, SIGTERM);
  sigaddset(&termination, SIGINT);
  if (int e = ::pthread_sigmask(SIG_BLOCK, &termination, &previous); e != 0) return IoError::os(e);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) exec_child(argv.data(), parent, out_fd, err_fd, report_write.get());
  const int fork_error = errno;
  if (pid > 0) gRunningChild.store(pid);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) return IoError::os(fork_error);
  report_write.reset();
  // Closed by a successful exec without a word; a failure sends its errno.
  int failure = 0;
  ssize_t n;
  while ((n = ::read(report_read.get(), &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  if (n == static_cast<ssize_t>(sizeof failure)) {
    RunningChild(pid).kill_and_reap();
    return IoError::os(failure);
  }
  return pid;
}

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

  auto pid = spawn(command, out_pipe->second.get(), err_pipe->second.get());
  if (!pid) return pid.error();
  RunningChild child(*pid);
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

void end_children_on_termination(const char* failure_prefix) {
  gTerminationPrefix = failure_prefix;
  struct sigaction action {};
  action.sa_handler = end_with_child;
  sigemptyset(&action.sa_mask);
  // While one of the two is handled the other waits; the handler never returns.
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGINT);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
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
