// velkaro-bridge (the engine in a SimConnect program of its own) against the add-on in the
// simulator's process. Both run as real processes, one setup after the other:
//
//   add-on  velkaro-sim --rate 60 with the add-on, which serves clients itself;
//   bridge  velkaro-sim --no-addon --rate 60 --listen 127.0.0.1:L, and velkaro-bridge --config
//           INI connected to it (VELKARO_SIM_ADDRESS), serving clients on a port of its own.
//
// latency  simulator frame -> the frame received by a client waiting in "rSIMDATA30".
//          The frame carries no time finer than a second (conversionTime is whole seconds),
//          and the simulator is another process, so the bench marks a frame from the
//          simulator's side: half-way between two frames it types "set PLANE LATITUDE=V" on
//          velkaro-sim's console. velkaro-sim runs console commands when its frame loop wakes,
//          directly before it steps the frame, and writes the reply to its standard output
//          (flushed) there: the reply's arrival on the bench's pipe stamps the start of the
//          frame, and the first frame with latitude V is that frame. A sample is the time from
//          that reply to that frame's receipt. The reply takes a cross-process wake to arrive
//          (a few to some tens of microseconds, more when both processors are busy), so the
//          samples of both setups come out that much short alike; the difference between the
//          setups is what the bridge adds: the "Frame" event, the data request and the record
//          crossing velkaro-sim's loopback link, and a process of its own to wake. A round
//          whose command met a frame still under way (the frame before arrived late) marks the
//          frame after; it is left out and counted.
// cpu      N clients fetching frames flat out, frames at 60 Hz for S seconds: processor time
//          per simulator frame of velkaro-bridge, of velkaro-sim with the add-on (which
//          includes the simulator's own model work and the record it builds), and of
//          velkaro-sim --no-addon (the model, the record and the link to the bridge), then of
//          velkaro-sim --no-addon serving nobody (the frame loop and the model alone). Each is
//          read from the process's processor clock (clock_getcpuclockid: the nanosecond count
//          behind /proc/PID/stat's utime and stime, whose 10 ms ticks are coarse for a 10 s
//          window). Frames the simulator ran are its rate times the window, its frame loop
//          keeping to its schedule; the fresh frames each client got in the window are shown
//          beside them (a frame stepped late, right before the next, reaches a client as one).
//
// Usage: bridge_bench [latency|cpu|all] [--seconds S] [--clients N]. The programs are taken
// from the folder of this program (the build folder). Every port is a free one of the bench's
// own: the add-on runs from a copy in a temporary folder with a Velkaro.ini of the bench's own,
// so that nothing else on port 5193 is disturbed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "bench_support.h"

extern char** environ;

namespace {

using namespace velkaro::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr double kRate = 60.0;
// Between two frames at 60 Hz: where the bench types its console command.
constexpr auto kCommandPhase = 8ms;
constexpr auto kRoundTimeout = 1s;
constexpr auto kStartTimeout = 15s;

std::uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(s);
  return port;
}

// A child process with its standard input and output on pipes of ours (output to /dev/null with
// `quiet`), stopped (SIGINT, then SIGKILL) when the object goes.
class Child {
 public:
  Child(std::vector<std::string> args, const std::vector<std::string>& extra_env, bool quiet) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text(extra_env);
    for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (quiet) {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~Child() {
    Stop();
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
  }
  // Stops the process; its pipes stay open (a reader of its output sees the end first).
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    for (int i = 0; i < 150 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(20ms);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ok() const { return pid_ > 0; }
  bool Running() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;  // ended, and reaped
    return pid_ > 0;
  }
  int output() const { return output_; }
  bool Type(const std::string& line) const {
    return write(input_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  // Processor time the whole process has used so far, every thread's (ended ones too).
  double CpuMicros() const {
    clockid_t clock;
    timespec t{};
    if (clock_getcpuclockid(pid_, &clock) != 0 || clock_gettime(clock, &t) != 0) return NAN;
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

// Reads velkaro-sim's standard output on a thread of its own and stamps each reply of a "set"
// command on arrival.
class ConsoleReader {
 public:
  explicit ConsoleReader(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~ConsoleReader() { thread_.join(); }  // ends when the simulator's output closes

  // Waits for the next "pinned" reply until `until`; its arrival time, or empty.
  std::optional<Clock::time_point> NextPinned(Clock::time_point until) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, until, [&] { return !pinned_.empty(); })) return {};
    const Clock::time_point at = pinned_.front();
    pinned_.erase(pinned_.begin());
    return at;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    pinned_.clear();
  }
  // Waits until the simulator has written `text` (since it started).
  bool WaitFor(const std::string& text, Clock::time_point until) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, until, [&] {
      return all_.find(text) != std::string::npos || ended_;
    }) && all_.find(text) != std::string::npos;
  }

 private:
  void Run() {
    char buffer[4096];
    std::string line;
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      const Clock::time_point at = Clock::now();
      std::lock_guard lock(mutex_);
      if (got <= 0) {
        ended_ = true;
        changed_.notify_all();
        return;
      }
      if (all_.size() < 4096) all_.append(buffer, static_cast<std::size_t>(got));
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] != '\n') {
          line += buffer[i];
          continue;
        }
        if (line.find(" pinned to ") != std::string::npos) {
          pinned_.push_back(at);
        } else if (line.rfind("velkaro-sim: PLANE LATITUDE", 0) == 0 ||
                   line.find("unknown variable") != std::string::npos) {
          std::fprintf(stderr, "bridge_bench: velkaro-sim said: %s\n", line.c_str());
        }
        line.clear();
      }
      changed_.notify_all();
    }
  }

  int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> pinned_;
  std::string all_;  // the first lines, for start-up
  bool ended_ = false;
  std::thread thread_;
};

// One setup: the simulator, the bridge when there is one, and the port the clients use.
struct Setup {
  const char* name;
  std::unique_ptr<Child> sim;
  std::unique_ptr<ConsoleReader> console;
  std::unique_ptr<Child> bridge;
  std::uint16_t port = 0;

  explicit Setup(const char* setup_name) : name(setup_name) {}
  Setup(Setup&&) = default;
  // The bridge first, then the simulator, whose output ending ends the reader.
  ~Setup() {
    bridge.reset();
    if (sim) sim->Stop();
    console.reset();
    sim.reset();
  }

  std::unique_ptr<zelm::Connection> Connect() const {
    std::string error;
    auto c = zelm::Connection::Open("127.0.0.1", port, &error, 5000);
    if (!c) std::fprintf(stderr, "bridge_bench: %s: %s\n", name, error.c_str());
    return c;
  }
};

// The folder of this program and a temporary one of the bench's own.
struct Folders {
  fs::path programs = fs::canonical("/proc/self/exe").parent_path();
  fs::path scratch = fs::temp_directory_path() / ("bridge-bench-" + std::to_string(getpid()));
  Folders() {
    fs::create_directories(scratch / "addon");
    // The add-on reads Velkaro.ini beside its own file, and finds the stand-in SimConnect
    // beside itself: both copied, so that the build folder's settings (if any) do not apply.
    for (const char* file : {"Velkaro.so", "libSimConnect.so"}) {
      fs::copy_file(programs / file, scratch / "addon" / file,
                    fs::copy_options::overwrite_existing);
    }
  }
  ~Folders() {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }
};

void WriteServerSettings(const fs::path& file, std::uint16_t port) {
  std::ofstream(file) << "[server]\nport = " << port << "\nbind = 127.0.0.1\n";
}

// Waits until the setup serves frames of the running simulator (the latitude of the start-up
// frame is 0, the model's is not).
bool WaitServing(const Setup& setup) {
  const auto until = Clock::now() + kStartTimeout;
  while (Clock::now() < until) {
    if (auto c = zelm::Connection::Open("127.0.0.1", setup.port, nullptr, 1000)) {
      zelm::Frame frame;
      while (Clock::now() < until && c->FetchFrame(&frame)) {
        if (frame.Number("latitude").value_or(0) != 0) return true;
      }
    }
    std::this_thread::sleep_for(50ms);
  }
  std::fprintf(stderr, "bridge_bench: %s does not serve frames\n", setup.name);
  return false;
}

std::vector<std::string> SimArgs(const Folders& folders) {
  return {(folders.programs / "velkaro-sim").string(), "--rate", std::to_string(kRate)};
}

Setup StartAddOn(const Folders& folders) {
  Setup setup("add-on");
  setup.port = FreePort();
  WriteServerSettings(folders.scratch / "addon" / "Velkaro.ini", setup.port);
  auto args = SimArgs(folders);
  args.insert(args.end(), {"--addon", (folders.scratch / "addon" / "Velkaro.so").string()});
  setup.sim = std::make_unique<Child>(args, std::vector<std::string>{}, false);
  setup.console = std::make_unique<ConsoleReader>(setup.sim->output());
  return setup;
}

Setup StartBridge(const Folders& folders) {
  Setup setup("bridge");
  setup.port = FreePort();
  const std::string link = "127.0.0.1:" + std::to_string(FreePort());
  auto args = SimArgs(folders);
  args.insert(args.end(), {"--no-addon", "--listen", link});
  setup.sim = std::make_unique<Child>(args, std::vector<std::string>{}, false);
  setup.console = std::make_unique<ConsoleReader>(setup.sim->output());
  // Started once the simulator listens, so that it does not wait out its 2 s retry.
  if (!setup.console->WaitFor("programs connect to", Clock::now() + kStartTimeout)) {
    std::fprintf(stderr, "bridge_bench: velkaro-sim --no-addon did not start\n");
    return setup;
  }
  const fs::path ini = folders.scratch / "bridge.ini";
  WriteServerSettings(ini, setup.port);
  setup.bridge = std::make_unique<Child>(
      std::vector<std::string>{(folders.programs / "velkaro-bridge").string(), "--config",
                               ini.string()},
      std::vector<std::string>{"VELKARO_SIM_ADDRESS=" + link}, true);
  return setup;
}

Setup Start(const Folders& folders, bool bridge) {
  Setup setup = bridge ? StartBridge(folders) : StartAddOn(folders);
  if (!WaitServing(setup)) setup.port = 0;
  return setup;
}

// `late` counts rounds whose command met a frame already under way (a frame before it arriving
// late): the command then runs after that frame, and the frame it marks comes a period later.
std::optional<Percentiles> MeasureLatency(Setup& setup, int rounds, int* missed, int* late) {
  auto client = setup.Connect();
  if (!client) return {};
  // The client fetches flat out and stamps every frame; the round's frame is the first one
  // with the round's latitude.
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable arrived;
  double target = NAN;
  long frames = 0;
  Clock::time_point last_arrival;
  std::optional<Clock::time_point> arrival;  // of the round's frame
  long arrival_frames = 0;                   // frames received up to it
  std::thread fetcher([&] {
    zelm::Frame frame;
    while (!stop.load() && client->FetchFrame(&frame)) {
      const Clock::time_point at = Clock::now();
      const double latitude = frame.Number("latitude").value_or(0);
      std::lock_guard lock(mutex);
      ++frames;
      last_arrival = at;
      if (!arrival && std::fabs(latitude - target) < 1e-9) {
        arrival = at;
        arrival_frames = frames;
      }
      arrived.notify_one();
    }
  });
  std::vector<double> samples;
  *missed = 0;
  *late = 0;
  constexpr int kWarmUp = 30;
  for (int r = -kWarmUp; r < rounds; ++r) {
    // Half-way between two frames: the command waits in the console for the next one. Past the
    // middle, the frame after next is the one.
    Clock::time_point last;
    {
      std::unique_lock lock(mutex);
      const long seen = frames;
      if (Clock::now() > last_arrival + kCommandPhase / 2) {
        arrived.wait_for(lock, kRoundTimeout, [&] { return frames != seen; });
      }
      last = last_arrival;
    }
    std::this_thread::sleep_until(last + kCommandPhase);
    // A latitude of the bench's own for each round, far from where the model flies.
    const double value = 20.0 + 1e-4 * (r + kWarmUp + 1);
    setup.console->Forget();
    long typed_frames = 0;
    {
      std::lock_guard lock(mutex);
      target = value;
      arrival.reset();
      typed_frames = frames;
    }
    char command[64];
    std::snprintf(command, sizeof command, "set PLANE LATITUDE=%.6f\n", value);
    setup.sim->Type(command);
    const auto until = Clock::now() + kRoundTimeout;
    const auto pinned = setup.console->NextPinned(until);
    std::optional<Clock::time_point> received;
    bool first_after_command = false;
    {
      std::unique_lock lock(mutex);
      arrived.wait_until(lock, until, [&] { return arrival.has_value(); });
      received = arrival;
      first_after_command = arrival_frames == typed_frames + 1;
    }
    if (r < 0) continue;
    if (!pinned || !received) {
      ++*missed;
      continue;
    }
    if (!first_after_command) {
      ++*late;
      continue;
    }
    samples.push_back(Micros(*received - *pinned));
  }
  stop = true;
  client->Shutdown();
  fetcher.join();
  if (samples.empty()) return {};
  return Summarise(samples);
}

void BenchLatency(const Folders& folders, double seconds) {
  const int rounds = static_cast<int>(seconds * kRate);
  std::printf(
      "latency: simulator frame -> frame received by a client waiting in \"rSIMDATA30\", "
      "%d rounds at %.0f Hz each\n",
      rounds, kRate);
  for (const bool bridge : {false, true}) {
    Setup setup = Start(folders, bridge);
    int missed = 0, late = 0;
    const auto result =
        setup.port != 0 ? MeasureLatency(setup, rounds, &missed, &late) : std::nullopt;
    const char* what = bridge ? "velkaro-bridge (velkaro-sim --no-addon)" : "add-on in velkaro-sim";
    if (!result) {
      std::printf("  %-44s no figures\n", what);
      continue;
    }
    Print(what, *result);
    if (missed > 0 || late > 0) {
      std::printf("  %-44s left out: %d rounds without a frame, %d after a late frame\n", "",
                  missed, late);
    }
  }
}

void BenchCpu(const Folders& folders, int clients, double seconds) {
  std::printf("cpu: %d clients fetching flat out, frames at %.0f Hz, processor time over %.0f s\n",
              clients, kRate, seconds);
  for (const bool bridge : {false, true}) {
    Setup setup = Start(folders, bridge);
    if (setup.port == 0) continue;
    std::vector<std::unique_ptr<zelm::Connection>> connections;
    for (int i = 0; i < clients; ++i) {
      connections.push_back(setup.Connect());
      if (!connections.back()) return;
    }
    std::atomic<bool> stop{false};
    std::vector<std::atomic<long>> fresh(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        zelm::Frame frame;
        auto& connection = *connections[static_cast<std::size_t>(i)];
        while (!stop.load() && connection.FetchFrame(&frame)) ++fresh[static_cast<std::size_t>(i)];
      });
    }
    std::this_thread::sleep_for(1s);
    std::vector<long> fresh_start;
    for (auto& f : fresh) fresh_start.push_back(f.load());
    const double sim0 = setup.sim->CpuMicros();
    const double bridge0 = bridge ? setup.bridge->CpuMicros() : 0;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double sim_cpu = setup.sim->CpuMicros() - sim0;
    const double bridge_cpu = bridge ? setup.bridge->CpuMicros() - bridge0 : 0;
    const double window = std::chrono::duration<double>(Clock::now() - t0).count();
    long fewest = -1, most = 0;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const long got = fresh[i].load() - fresh_start[i];
      fewest = fewest < 0 ? got : std::min(fewest, got);
      most = std::max(most, got);
    }
    stop = true;
    for (auto& c : connections) c->Shutdown();
    for (std::thread& t : threads) t.join();
    const bool sim_ran = setup.sim->Running();
    if (!sim_ran) {
      std::printf("  %s: velkaro-sim ended during the window; no figures\n", setup.name);
      continue;
    }

    const double frames = window * kRate;
    auto say = [&](const char* what, double cpu_us) {
      std::printf("  %-44s %7.1f us per frame (%5.2f%% of one core)\n", what, cpu_us / frames,
                  cpu_us / window / 1e4);
    };
    std::printf("  %s: %.0f frames in %.2f s; fresh frames per client: fewest %ld, most %ld\n",
                setup.name, frames, window, fewest, most);
    if (bridge) {
      say("velkaro-bridge", bridge_cpu);
      say("velkaro-sim --no-addon (model, link)", sim_cpu);
      say("the two together", bridge_cpu + sim_cpu);
    } else {
      say("velkaro-sim with the add-on (model included)", sim_cpu);
    }
  }
  // The simulator with nobody to serve: its frame loop and the model, the floor of both.
  Setup alone("velkaro-sim alone");
  alone.sim = std::make_unique<Child>(
      [&] {
        auto args = SimArgs(folders);
        args.insert(args.end(),
                    {"--no-addon", "--listen", "127.0.0.1:" + std::to_string(FreePort())});
        return args;
      }(),
      std::vector<std::string>{}, false);
  alone.console = std::make_unique<ConsoleReader>(alone.sim->output());
  if (!alone.console->WaitFor("programs connect to", Clock::now() + kStartTimeout)) return;
  std::this_thread::sleep_for(1s);
  const double cpu0 = alone.sim->CpuMicros();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = alone.sim->CpuMicros() - cpu0;
  const double window = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("  %-44s %7.1f us per frame (%5.2f%% of one core)\n",
              "velkaro-sim --no-addon, no program (model)", cpu / (window * kRate),
              cpu / window / 1e4);
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = "all";
  int clients = 64;
  double seconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--clients" && i + 1 < argc) {
      clients = std::atoi(argv[++i]);
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "latency" || arg == "cpu" || arg == "all") {
      which = arg;
    } else {
      std::fprintf(stderr, "usage: bridge_bench [latency|cpu|all] [--seconds S] [--clients N]\n");
      return 2;
    }
  }
  if (clients < 1 || seconds <= 0) {
    std::fprintf(stderr, "bridge_bench: --clients takes 1 or more, --seconds more than 0\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const fs::path programs = fs::canonical("/proc/self/exe").parent_path();
  for (const char* file : {"velkaro-sim", "velkaro-bridge", "Velkaro.so", "libSimConnect.so"}) {
    if (!fs::exists(programs / file)) {
      std::fprintf(stderr, "bridge_bench: no %s beside this program; build it first\n", file);
      return 1;
    }
  }
  Folders folders;
  if (which == "latency" || which == "all") BenchLatency(folders, seconds);
  if (which == "cpu" || which == "all") BenchCpu(folders, clients, seconds);
  return 0;
}
