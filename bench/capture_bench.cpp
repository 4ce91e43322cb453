// Capture benchmark: records both sources with the built tasmerig on the
// simulated world, in real time (60 s by default), and prints the CPU time
// each of its threads spent per second of audio, read from the kernel's
// per-thread clocks. The helper's own threads (consumers, event bus, main)
// show apart from the simulated devices' threads ("sim-*"), which also run
// the helper's real-time callbacks (the mic tap block and the IO proc).
//
//   capture_bench [seconds] [tasmerig]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kCanonicalRate = 24000;

// Failures unwind to main, so the helper is ended and the scratch directory removed.
[[noreturn]] void die(const std::string& what) { throw std::runtime_error(what); }

// A scratch directory removed when the benchmark ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "capture-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) die("mkdtemp failed");
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The meeting world: the speakers play noise, the built-in mic hears a tone
// and the speakers' echo.
json benchScenario() {
  json mic = {{"uid", "BuiltInMicrophoneDevice"},
              {"transport", "bltn"},
              {"input_channels", 1},
              {"signal", {{"type", "tone"}, {"frequency", 440}, {"amplitude", 0.05}}}};
  json speakers = {{"uid", "BuiltInSpeakerDevice"},
                   {"transport", "bltn"},
                   {"output_channels", 2},
                   {"data_source", "ispk"},
                   {"signal", {{"type", "noise"}, {"amplitude", 0.2}}}};
  return {{"audio",
           {{"devices", {mic, speakers}},
            {"echo", {{"delay_ms", 40}, {"gain", 0.3}, {"inputs", {"BuiltInMicrophoneDevice"}}}}}}};
}

// tasmerig in capture mode, its standard error read line by line on a thread.
class Helper {
 public:
  Helper(const std::string& program, const fs::path& sessionDir, const fs::path& scenario) {
    int in[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) die("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> args = {
        program,         "--mode", "capture",          "--session-dir", sessionDir.string(),
        "--include-mic", "true",   "--include-system", "true"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"VORLANTHEA_SIM_SCENARIO=" + scenario.string()};
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string kv(*e);
      if (kv.rfind("VORLANTHEA_", 0) != 0) env.push_back(kv);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(err[1]);
    if (rc != 0) {
      ::close(in[1]);
      ::close(err[0]);
      die("cannot start " + program);
    }
    stdin_ = in[1];
    reader_ = std::thread([this, fd = err[0]] { readLines(fd); });
  }
  ~Helper() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) ::close(stdin_);
    if (reader_.joinable()) reader_.join();
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  pid_t pid() const { return pid_; }

  // The first event of the type, or nothing when the stream ended first or the time ran out.
  std::optional<json> waitFor(const std::string& type, std::chrono::seconds timeout) {
    std::unique_lock lk(mu_);
    std::optional<json> found;
    cv_.wait_for(lk, timeout, [&] {
      for (const auto& e : events_) {
        if (e.value("type", "") == type) found = e;
      }
      return found.has_value() || ended_;
    });
    return found;
  }

  void send(const json& command) {
    const std::string line = command.dump() + "\n";
    if (::write(stdin_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) die("write to tasmerig failed");
  }

  // The exit status after a stop; kills the helper when it does not end in time.
  int waitExit(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    reaped_ = true;
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::vector<json> events() {
    std::lock_guard lk(mu_);
    return events_;
  }

 private:
  void readLines(int fd) {
    std::string buf;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      buf.append(chunk, static_cast<size_t>(n));
      for (size_t pos; (pos = buf.find('\n')) != std::string::npos; buf.erase(0, pos + 1)) {
        auto e = json::parse(buf.substr(0, pos), nullptr, false);
        std::lock_guard lk(mu_);
        if (!e.is_discarded()) events_.push_back(std::move(e));
        cv_.notify_all();
      }
    }
    ::close(fd);
    std::lock_guard lk(mu_);
    ended_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  bool reaped_ = false;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<json> events_;
  bool ended_ = false;
};

struct ThreadTime {
  std::string name;
  double cpuNs = 0;
};

std::string firstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// CPU time of every thread of the process: the scheduler's run time in
// nanoseconds where the kernel keeps it, else user plus system ticks.
std::map<long, ThreadTime> threadTimes(pid_t pid) {
  std::map<long, ThreadTime> out;
  std::error_code ec;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  for (const auto& entry : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", ec)) {
    const long tid = std::strtol(entry.path().filename().c_str(), nullptr, 10);
    ThreadTime t;
    t.name = firstLine(entry.path() / "comm");
    const std::string sched = firstLine(entry.path() / "schedstat");
    if (!sched.empty()) {
      t.cpuNs = std::strtod(sched.c_str(), nullptr);
    } else {
      // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
      const std::string stat = firstLine(entry.path() / "stat");
      const auto close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(stat.substr(close + 2));
      std::vector<std::string> fields;
      for (std::string f; rest >> f;) fields.push_back(f);
      if (fields.size() < 13) continue;
      t.cpuNs = (std::stod(fields[11]) + std::stod(fields[12])) * 1e9 / static_cast<double>(ticks);
    }
    out[tid] = t;
  }
  return out;
}

std::string roleOf(const std::string& name, bool mainThread) {
  if (mainThread) return "helper: main thread";
  if (name == "tasmerig-mic-co") return "helper: mic consumer";
  if (name == "tasmerig-sys-co") return "helper: system consumer";
  if (name == "eventbus-writer") return "helper: event bus writer";
  if (name == "sim-input-tap") return "simulated mic device (runs the helper's input tap block)";
  if (name == "sim-io-proc") return "simulated output device (runs the helper's IO proc)";
  if (name.rfind("sim-", 0) == 0) return "simulated world";
  return "helper: reader, queues and timers";
}

double recordedSeconds(const std::vector<json>& events, const std::string& source) {
  double frames = 0;
  for (const auto& e : events) {
    if (e.value("type", "") == "segment_closed" && e.value("source", "") == source) {
      frames += e.value("frames", 0.0);
    }
  }
  return frames / kCanonicalRate;
}

void report(pid_t pid, const std::map<long, ThreadTime>& before, const std::map<long, ThreadTime>& after,
            double seconds) {
  std::printf("%-16s %8s %10s %17s  %s\n", "thread", "tid", "cpu ms", "cpu ms / audio s", "role");
  double helper = 0, simulated = 0;
  for (const auto& [tid, t] : after) {
    const auto it = before.find(tid);
    const double ms = (t.cpuNs - (it != before.end() ? it->second.cpuNs : 0)) / 1e6;
    const std::string role = roleOf(t.name, tid == pid);
    (role.rfind("helper", 0) == 0 ? helper : simulated) += ms;
    std::printf("%-16s %8ld %10.1f %17.3f  %s\n", t.name.c_str(), tid, ms, ms / seconds, role.c_str());
  }
  std::printf("helper threads: %.3f ms per audio second; simulated world: %.3f ms per audio second\n", helper / seconds,
              simulated / seconds);
}

int run(int argc, char** argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 60.0;
  const std::string program = argc > 2 ? argv[2] : VR_TASMERIG_PATH;
  if (!(seconds > 0)) die("seconds must be above 0");

  ScratchDir dir;
  const fs::path scenario = dir.path() / "world.json";
  std::ofstream(scenario) << benchScenario().dump();
  std::printf("capture_bench: %.0f s of mic and system audio on the simulated world, in real time\n", seconds);
  std::fflush(stdout);

  Helper helper(program, dir.path() / "session", scenario);
  if (!helper.waitFor("helper_ready", 30s)) {
    for (const auto& e : helper.events()) std::fprintf(stderr, "%s\n", e.dump().c_str());
    die("tasmerig did not become ready");
  }
  std::this_thread::sleep_for(1s);  // past the start-up work
  const auto before = threadTimes(helper.pid());
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto after = threadTimes(helper.pid());
  const double measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  helper.send({{"type", "stop"}, {"request_id", "bench-stop"}});
  const int status = helper.waitExit(30s);
  const auto events = helper.events();
  if (status != 0) die("tasmerig ended with status " + std::to_string(status));

  report(helper.pid(), before, after, measured);
  std::printf("recorded: mic %.1f s, system %.1f s (whole run, at %d Hz)\n", recordedSeconds(events, "mic"),
              recordedSeconds(events, "system"), kCanonicalRate);
  for (const auto& e : events) {
    if (e.value("type", "") == "warning") std::printf("warning: %s\n", e.dump().c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "capture_bench: %s\n", e.what());
    return 1;
  }
}
