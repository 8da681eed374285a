// The gateway (zelm serve, run as its own process) against the add-on in this process, with
// percentiles and figures taken in one run:
//
//   latency       record published in the add-on -> the frame received by a client waiting in
//                 "rSIMDATA30" directly and by a WebSocket client of the gateway;
//   mqtt-latency  the same with the gateway's MQTT side on as well, and an MQTT subscriber of
//                 PREFIX/frame through a local broker as a third receiver (when mosquitto is
//                 installed);
//   load          N WebSocket clients while records arrive at 60 Hz: frames each client got of
//                 those published, the gateway's processor time per frame and its memory;
//   fields        MQTT field-topic messages per second, for a cruising aircraft (only its
//                 position moves, eastwards at 250 kt) and a manoeuvring one (heading, bank,
//                 pitch, altitude, speed and vertical speed change every record), against every
//                 field of every frame.
//
// Usage: gateway_bench [latency|mqtt-latency|load|fields|all] [--zelm PATH] [--clients N]
//        [--seconds S] [--rounds R]. The add-on takes TCP port 5193; the gateway and broker take
//        free ports.
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

// clang-format off
#include <utility>  // (before Asio, whose awaitable.hpp uses std::exchange without it)
// clang-format on
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "bench_support.h"

extern char** environ;

namespace {

using namespace velkaro::bench;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

std::uint16_t FreePort() {
  asio::io_context io;
  tcp::acceptor a(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

// A child process, stopped (SIGINT, then SIGKILL) when the object goes.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(20ms);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool ok() const { return pid_ > 0; }
  // Resident memory now and at its peak so far, in KiB (VmRSS and VmHWM).
  std::pair<long, long> MemoryKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    long rss = 0, peak = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
      if (line.rfind("VmHWM:", 0) == 0) peak = std::atol(line.c_str() + 6);
    }
    return {rss, peak};
  }
  // Processor time used so far, in microseconds (user and system).
  double CpuMicros() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_ = -1;
};

// A broker of the bench's own on a free port, when mosquitto is installed.
struct Broker {
  std::uint16_t port = FreePort();
  std::string dir =
      std::filesystem::temp_directory_path() / ("gwbench-" + std::to_string(getpid()));
  std::unique_ptr<Child> process;
  explicit Broker(bool wanted = true) {
    if (!wanted || !std::filesystem::exists("/usr/sbin/mosquitto")) return;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/m.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    process = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir + "/m.conf"});
    std::this_thread::sleep_for(300ms);
  }
  ~Broker() {
    process.reset();
    std::filesystem::remove_all(dir);
  }
  bool ok() const { return process && process->ok(); }
};

// An MQTT subscriber: calls `on_message` with each message's topic.
class Subscriber {
 public:
  Subscriber(std::uint16_t port, const std::string& topic,
             std::function<void(const std::string&)> on_message)
      : on_message_(std::move(on_message)) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<Subscriber*>(self)->on_message_(m->topic);
    });
    mosquitto_connect(mosq_, "127.0.0.1", port, 30);
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 0);
    mosquitto_loop_start(mosq_);
  }
  ~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }

 private:
  std::function<void(const std::string&)> on_message_;
  mosquitto* mosq_;
};

// The gateway as a user runs it, against the add-on of this process.
struct Gateway {
  std::uint16_t http_port = FreePort();
  std::unique_ptr<Child> process;
  Gateway(const std::string& zelm, const Broker* broker) {
    std::vector<std::string> args{zelm, "serve", "--http-port", std::to_string(http_port)};
    if (broker != nullptr && broker->ok()) {
      args.insert(args.end(), {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker->port),
                               "--mqtt-prefix", "bench"});
    }
    process = std::make_unique<Child>(args);
  }
};

// A WebSocket client that reads every message on its own thread.
class WsReader {
 public:
  WsReader(std::uint16_t port, std::function<void()> on_frame) : on_frame_(std::move(on_frame)) {
    for (int i = 0; i < 100; ++i) {
      beast::error_code ec;
      beast::get_lowest_layer(ws_).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                                           ec);
      if (!ec) break;
      beast::get_lowest_layer(ws_).close();
      std::this_thread::sleep_for(50ms);
    }
    ws_.handshake("127.0.0.1", "/ws");
    thread_ = std::thread([this] {
      beast::flat_buffer buffer;
      beast::error_code ec;
      while (!ec) {
        ws_.read(buffer, ec);
        if (!ec &&
            beast::buffers_to_string(buffer.data()).find("\"type\":\"frame\"") != std::string::npos)
          on_frame_();
        buffer.consume(buffer.size());
      }
    });
  }
  ~WsReader() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    thread_.join();
  }

 private:
  asio::io_context io_;
  websocket::stream<beast::tcp_stream> ws_{io_};
  std::function<void()> on_frame_;
  std::thread thread_;
};

// With `with_mqtt`, the gateway also publishes to a broker of the bench's own, and an MQTT
// subscriber waits beside the other two receivers.
void BenchLatency(const std::string& zelm, int rounds, bool with_mqtt) {
  AddOnUnderTest addon;
  Broker broker(with_mqtt);
  Gateway gateway(zelm, &broker);
  std::printf("latency%s: record published -> frame received, %d rounds at 60 Hz%s\n",
              with_mqtt ? " with MQTT" : "", rounds,
              with_mqtt && !broker.ok() ? " (no mosquitto: no MQTT figure)" : "");
  // Receivers mark the round they saw; the bench sleeps until every receiver has (the last one
  // wakes it), so that it takes no processor from them while they work.
  constexpr int kDirect = 0, kWs = 1, kMqtt = 2;
  int receivers = 2;
  std::atomic<int> round{0};
  std::array<std::atomic<int>, 3> seen_round{};
  std::array<std::atomic<std::int64_t>, 3> arrival{};
  std::mutex arrived_mutex;
  std::condition_variable all_arrived;
  int arrived = 0;
  auto mark = [&](int who) {
    const int r = round.load();
    if (seen_round[who].exchange(r) == r) return;
    arrival[who] = Clock::now().time_since_epoch().count();
    std::lock_guard lock(arrived_mutex);
    if (++arrived == receivers) all_arrived.notify_one();
  };
  std::atomic<bool> stop{false};
  std::thread direct([&] {
    auto c = addon.Connect();
    zelm::Frame frame;
    double last = 0;
    while (!stop && c && c->FetchFrame(&frame)) {
      const double lat = frame.Number("latitude").value_or(0);
      if (lat != last) mark(kDirect);
      last = lat;
    }
  });
  WsReader ws(gateway.http_port, [&] { mark(kWs); });
  std::unique_ptr<Subscriber> mqtt;
  if (broker.ok())
    mqtt = std::make_unique<Subscriber>(broker.port, "bench/frame",
                                        [&](const std::string&) { mark(kMqtt); });
  if (broker.ok()) {
    std::lock_guard lock(arrived_mutex);
    receivers = 3;
  }
  // Settle: the gateway connected and every receiver getting frames.
  for (int i = 0; i < 120; ++i) {
    addon.Dispatch();
    std::this_thread::sleep_for(16ms);
  }
  std::array<std::vector<double>, 3> samples;
  for (int r = 1; r <= rounds; ++r) {
    std::this_thread::sleep_for(16ms);
    {
      std::lock_guard lock(arrived_mutex);
      arrived = 0;
    }
    round = r;
    const auto t0 = Clock::now();
    addon.Dispatch();
    {
      std::unique_lock lock(arrived_mutex);
      all_arrived.wait_until(lock, t0 + 500ms, [&] { return arrived >= receivers; });
    }
    for (int w = 0; w < receivers; ++w) {
      if (seen_round[w] == r)
        samples[w].push_back((arrival[w] - t0.time_since_epoch().count()) / 1e3);
    }
  }
  stop = true;
  addon.Dispatch();
  direct.join();
  const char* names[] = {"direct rSIMDATA30 client", "gateway WebSocket client",
                         "MQTT subscriber via mosquitto"};
  for (int w = 0; w < receivers; ++w) {
    if (samples[w].empty()) {
      std::printf("  %-44s no frames\n", names[w]);
      continue;
    }
    Print(names[w], Summarise(samples[w]));
    std::printf("  %-44s %zu of %d rounds\n", "", samples[w].size(), rounds);
  }
}

void BenchLoad(const std::string& zelm, int clients, double seconds) {
  AddOnUnderTest addon;
  Gateway gateway(zelm, nullptr);
  std::printf("load: %d WebSocket clients, records at 60 Hz for %.0f s\n", clients, seconds);
  asio::io_context io;
  struct Client {
    explicit Client(asio::io_context& io) : ws(io) {}
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    int frames = 0;
  };
  std::vector<std::unique_ptr<Client>> all;
  std::function<void(Client&)> read = [&](Client& c) {
    c.ws.async_read(c.buffer, [&, cp = &c](beast::error_code ec, std::size_t) {
      if (ec) return;
      if (beast::buffers_to_string(cp->buffer.data()).find("\"type\":\"frame\"") !=
          std::string::npos)
        ++cp->frames;
      cp->buffer.consume(cp->buffer.size());
      read(*cp);
    });
  };
  for (int i = 0; i < 100 && gateway.process->ok(); ++i) {
    addon.Dispatch();
    std::this_thread::sleep_for(20ms);
  }
  const long rss_before = gateway.process->MemoryKiB().first;
  for (int i = 0; i < clients; ++i) {
    all.push_back(std::make_unique<Client>(io));
    beast::get_lowest_layer(all.back()->ws)
        .connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), gateway.http_port));
    all.back()->ws.handshake("127.0.0.1", "/ws");
    read(*all.back());
  }
  std::thread reader([&] { io.run(); });
  std::this_thread::sleep_for(500ms);
  for (auto& c : all) c->frames = 0;  // (counted from here, after the hello and first frame)
  const double cpu0 = gateway.process->CpuMicros();
  int published = 0;
  const auto start = Clock::now();
  auto next = start;
  while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
    next += std::chrono::microseconds(16667);
    std::this_thread::sleep_until(next);
    addon.Dispatch();
    ++published;
  }
  std::this_thread::sleep_for(300ms);
  const double cpu = gateway.process->CpuMicros() - cpu0;
  const auto [rss, peak] = gateway.process->MemoryKiB();
  io.stop();
  reader.join();
  std::vector<double> got;
  for (auto& c : all) got.push_back(100.0 * c->frames / published);
  std::sort(got.begin(), got.end());
  std::printf(
      "  %d frames published; frames received per client: min %.1f%%, median %.1f%%, max %.1f%%\n",
      published, got.front(), got[got.size() / 2], got.back());
  std::printf("  gateway processor time: %.0f us per frame (%.1f%% of one core at 60 Hz)\n",
              cpu / published, cpu / published * 60 / 1e4);
  std::printf(
      "  gateway resident memory: %.1f MiB before the clients, %.1f MiB with them "
      "(peak %.1f MiB)\n",
      rss_before / 1024.0, rss / 1024.0, peak / 1024.0);
}

void BenchFields(const std::string& zelm, double seconds) {
  Broker broker;
  if (!broker.ok()) {
    std::printf("fields: no mosquitto installed, skipped\n");
    return;
  }
  AddOnUnderTest addon;
  Gateway gateway(zelm, &broker);
  std::atomic<long> field_messages{0};
  Subscriber fields(broker.port, "bench/field/#", [&](const std::string&) { ++field_messages; });
  for (int i = 0; i < 120; ++i) {
    addon.Dispatch();
    std::this_thread::sleep_for(16ms);
  }
  std::size_t carried = 0;
  for (const auto& f : velkaro::kFrameFields)
    carried += f.role == velkaro::FrameRole::kValue ? 1 : 0;
  std::printf("fields: MQTT field-topic messages, records at 60 Hz for %.0f s each (%zu fields)\n",
              seconds, carried);
  for (const bool manoeuvring : {false, true}) {
    field_messages = 0;
    int published = 0;
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
      next += std::chrono::microseconds(16667);
      std::this_thread::sleep_until(next);
      // At 250 kt the aircraft moves about 0.00003 degree of longitude a record (east, at 47 N).
      addon.Set(velkaro::RecordDatum("PLANE LONGITUDE"), -122.0 + 3e-5 * published);
      if (manoeuvring) {
        const double t = published / 60.0;
        addon.Set(velkaro::RecordDatum("PLANE HEADING DEGREES TRUE"),
                  std::fmod(1.0 + 0.05 * t, 6.28));
        addon.Set(velkaro::RecordDatum("PLANE BANK DEGREES"), 0.4 * std::sin(t));
        addon.Set(velkaro::RecordDatum("PLANE PITCH DEGREES"), 0.1 * std::sin(0.7 * t));
        addon.Set(velkaro::RecordDatum("PLANE ALTITUDE"), 10000 + 2000 * std::sin(0.1 * t));
        addon.Set(velkaro::RecordDatum("INDICATED ALTITUDE"), 10000 + 2000 * std::sin(0.1 * t));
        addon.Set(velkaro::RecordDatum("AIRSPEED INDICATED"), 250 + 20 * std::sin(0.3 * t));
        addon.Set(velkaro::RecordDatum("VERTICAL SPEED"), 30 * std::cos(0.1 * t));
      }
      addon.Dispatch();
      ++published;
    }
    std::this_thread::sleep_for(300ms);
    const double per_second = field_messages / seconds;
    std::printf("  %-12s %7.0f messages/s (every field of every frame: %zu/s; %.1f%% of that)\n",
                manoeuvring ? "manoeuvring" : "cruising", per_second, carried * 60,
                100.0 * per_second / (carried * 60.0));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = "all";
  std::string zelm = (std::filesystem::canonical("/proc/self/exe").parent_path() / "zelm").string();
  int clients = 200, rounds = 600;
  double seconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--zelm" && i + 1 < argc)
      zelm = argv[++i];
    else if (arg == "--clients" && i + 1 < argc)
      clients = std::atoi(argv[++i]);
    else if (arg == "--seconds" && i + 1 < argc)
      seconds = std::atof(argv[++i]);
    else if (arg == "--rounds" && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else
      which = arg;
  }
  signal(SIGPIPE, SIG_IGN);
  if (which == "latency" || which == "all") BenchLatency(zelm, rounds, false);
  if (which == "mqtt-latency" || which == "all") BenchLatency(zelm, rounds, true);
  if (which == "load" || which == "all") BenchLoad(zelm, clients, seconds);
  if (which == "fields" || which == "all") BenchFields(zelm, seconds / 2);
  return 0;
}
