// Network benchmarks with percentiles, each against a bare baseline measured in the same run:
//
//   latency    publication -> receipt of the frame by a client waiting in "rSIMDATA30",
//              against a thread woken by a condition variable that sends 2280 bytes to a
//              waiting socket;
//   roundtrip  "rSIMDATA30" request -> reply when a fresh frame is ready, against a bare TCP
//              loop answering 10-byte requests with 2280 bytes;
//   load       N clients fetching frames flat out while records arrive at 60 Hz: frames each
//              client got of those published, and the simulator thread's time per record;
//   storm      N clients connecting at the same moment (panels reconnecting after a restart):
//              time to connect and to the first frame, over several rounds;
//   churn      one client connecting and closing in a tight loop, sending nothing: connect
//              times, connects that stalled a second or more (a dropped connection request is
//              retried after a second), and the add-on's processor time per connection;
//   replay     zelm replay's player: a frame's due time (its recorded time at the speed) ->
//              receipt by a client waiting in "rSIMDATA30", at 60 frames a second, against the
//              add-on's publication -> receipt measured the same way in the same run.
//
// The add-on runs in this process (started with DLLStart on the stand-in SimConnect), and the
// records are dispatched to it directly so that the simulator thread's own cost is what is
// timed. Usage: net_bench [latency|roundtrip|load|storm|churn|replay|all] [--clients N] [--seconds S]
// [--rounds R] [--cycles C]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/coding.h"
#include "common/frame_layout.h"
#include "common/protocol.h"
#include "host/addon.h"
#include "net/client_session.h"
#include "platform/socket.h"
#include "replay_player.h"
#include "simconnect/standin_api.h"
#include "simdata/record_layout.h"
#include "support/record_message.h"
#include "zelm_client.h"

namespace {

using namespace velkaro::bench;
using velkaro::platform::SocketHandle;
namespace protocol = velkaro::protocol;

constexpr std::size_t kFrameBytes = 2280;

bool ReceiveAll(SocketHandle s, void* data, std::size_t n) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (n > 0) {
    const int got = velkaro::platform::Receive(s, bytes, static_cast<int>(n));
    if (got <= 0) return false;
    bytes += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool SendAll(SocketHandle s, const void* data, std::size_t n) {
  return velkaro::SendAll(s, data, n) == 0;
}

// A connected loopback pair (client, server side).
std::pair<SocketHandle, SocketHandle> LoopbackPair() {
  const SocketHandle listener = velkaro::platform::OpenTcpSocket();
  velkaro::platform::BindIpv4(listener, velkaro::platform::Ipv4FromText("127.0.0.1"), 5194);
  velkaro::platform::Listen(listener, 1);
  std::string error;
  const SocketHandle client = velkaro::platform::ConnectTcp("127.0.0.1", 5194, &error);
  const SocketHandle server = velkaro::platform::Accept(listener);
  velkaro::platform::CloseSocket(listener);
  velkaro::platform::SetNoDelay(client);
  velkaro::platform::SetNoDelay(server);
  return {client, server};
}

void BenchLatency(int rounds) {
  std::printf("latency: publication -> receipt by a waiting client, %d rounds\n", rounds);
  // Bare: a thread woken through a condition variable sends 2280 bytes to a waiting socket.
  {
    auto [client, server] = LoopbackPair();
    std::mutex m;
    std::condition_variable cv;
    long generation = 0;
    bool stop = false;
    std::thread sender([&] {
      std::vector<std::uint8_t> frame(kFrameBytes, 1);
      long seen = 0;
      for (;;) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return generation != seen || stop; });
        if (stop) return;
        seen = generation;
        lock.unlock();
        SendAll(server, frame.data(), frame.size());
      }
    });
    std::vector<double> samples;
    std::vector<std::uint8_t> frame(kFrameBytes);
    for (int i = 0; i < rounds; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(1500));
      const auto t0 = Clock::now();
      {
        std::lock_guard<std::mutex> lock(m);
        ++generation;
      }
      cv.notify_all();
      ReceiveAll(client, frame.data(), frame.size());
      samples.push_back(Micros(Clock::now() - t0));
    }
    {
      std::lock_guard<std::mutex> lock(m);
      stop = true;
    }
    cv.notify_all();
    sender.join();
    velkaro::platform::CloseSocket(client);
    velkaro::platform::CloseSocket(server);
    Print("bare condition variable + send", Summarise(samples));
  }
  // The add-on: the client has the current frame and asks for the next one; the simulator
  // thread publishes it a moment later.
  {
    AddOnUnderTest addon;
    auto client = addon.Connect();
    zelm::Frame frame;
    client->FetchFrame(&frame);
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
      client->SendAll(protocol::kTagFrame.data(), protocol::kTagSize);
      std::this_thread::sleep_for(std::chrono::microseconds(1500));  // the session now waits
      const auto t0 = Clock::now();
      addon.Dispatch();
      client->ReceiveAll(frame.bytes.data(), frame.bytes.size());
      samples.push_back(Micros(Clock::now() - t0));
    }
    Print("add-on: publish -> frame received", Summarise(samples));
  }
}

void BenchRoundTrip(int rounds) {
  std::printf("roundtrip: 10-byte request -> 2280-byte reply with a fresh frame ready, %d rounds\n",
              rounds);
  {
    auto [client, server] = LoopbackPair();
    std::thread responder([server = server] {
      std::vector<std::uint8_t> frame(kFrameBytes, 2);
      char request[10];
      while (ReceiveAll(server, request, sizeof request))
        SendAll(server, frame.data(), frame.size());
    });
    std::vector<double> samples;
    std::vector<std::uint8_t> frame(kFrameBytes);
    for (int i = 0; i < rounds; ++i) {
      const auto t0 = Clock::now();
      SendAll(client, protocol::kTagFrame.data(), protocol::kTagSize);
      ReceiveAll(client, frame.data(), frame.size());
      samples.push_back(Micros(Clock::now() - t0));
    }
    velkaro::platform::Shutdown(client, velkaro::platform::ShutdownHow::kBoth);
    responder.join();
    velkaro::platform::CloseSocket(client);
    velkaro::platform::CloseSocket(server);
    Print("bare TCP request/reply", Summarise(samples));
  }
  {
    AddOnUnderTest addon;
    auto client = addon.Connect();
    zelm::Frame frame;
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
      addon.Dispatch();  // a fresh frame is ready
      const auto t0 = Clock::now();
      client->FetchFrame(&frame);
      samples.push_back(Micros(Clock::now() - t0));
    }
    Print("add-on: \"rSIMDATA30\" round trip", Summarise(samples));
  }
}

void BenchLoad(int clients, double seconds) {
  std::printf("load: %d clients fetching flat out, records at 60 Hz for %.0f s\n", clients,
              seconds);
  AddOnUnderTest addon;
  std::vector<std::unique_ptr<zelm::Connection>> connections;
  for (int i = 0; i < clients; ++i) connections.push_back(addon.Connect());
  std::atomic<bool> stop{false};
  std::vector<long> received(static_cast<std::size_t>(clients), 0);
  std::vector<long> replies(static_cast<std::size_t>(clients), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      zelm::Frame frame;
      double last_latitude = 0;
      while (!stop.load()) {
        if (!connections[static_cast<std::size_t>(i)]->FetchFrame(&frame)) return;
        ++replies[static_cast<std::size_t>(i)];
        const double latitude = frame.Number("latitude").value_or(0);
        if (latitude != last_latitude) ++received[static_cast<std::size_t>(i)];
        last_latitude = latitude;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<double> record_times, record_cpu;
  const auto period = std::chrono::microseconds(16667);
  auto next = Clock::now();
  const auto end =
      next + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  long published = 0;
  while (Clock::now() < end) {
    double cpu = 0;
    record_times.push_back(Micros(addon.Dispatch(&cpu)));
    record_cpu.push_back(cpu);
    ++published;
    next += period;
    std::this_thread::sleep_until(next);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the last frame reaches everyone
  stop = true;
  for (auto& c : connections) c->Shutdown();
  for (std::thread& t : threads) t.join();

  long fewest = published, most = 0, total_replies = 0;
  for (int i = 0; i < clients; ++i) {
    fewest = std::min(fewest, received[static_cast<std::size_t>(i)]);
    most = std::max(most, received[static_cast<std::size_t>(i)]);
    total_replies += replies[static_cast<std::size_t>(i)];
  }
  std::printf("  frames published %ld; received per client: fewest %ld, most %ld (%s)\n", published,
              fewest, most, fewest >= published ? "every client got every frame" : "FRAMES MISSED");
  std::printf("  replies per client per second: %.1f\n",
              total_replies / static_cast<double>(clients) / seconds);
  Print("simulator thread per record, processor time", Summarise(record_cpu));
  Print("simulator thread per record, clock time", Summarise(record_times));
}

void BenchStorm(int clients, int rounds) {
  std::printf("storm: %d clients connecting at once, %d rounds\n", clients, rounds);
  AddOnUnderTest addon;
  std::vector<double> connect_times, first_frame_times;
  int failed = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<SocketHandle> sockets(static_cast<std::size_t>(clients),
                                      velkaro::platform::kInvalidSocket);
    std::vector<double> connect_us(static_cast<std::size_t>(clients), -1);
    std::vector<double> frame_us(static_cast<std::size_t>(clients), -1);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    Clock::time_point start;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        const auto at = static_cast<std::size_t>(i);
        ready.fetch_add(1);
        while (!go.load()) std::this_thread::yield();
        std::string error;
        const SocketHandle s =
            velkaro::platform::ConnectTcp("127.0.0.1", protocol::kDefaultPort, &error);
        connect_us[at] = Micros(Clock::now() - start);
        if (s == velkaro::platform::kInvalidSocket) return;
        sockets[at] = s;
        velkaro::platform::SetReceiveTimeout(s, 30000);
        std::vector<std::uint8_t> frame(kFrameBytes);
        if (SendAll(s, protocol::kTagFrame.data(), protocol::kTagSize) &&
            ReceiveAll(s, frame.data(), frame.size())) {
          frame_us[at] = Micros(Clock::now() - start);
        }
      });
    }
    while (ready.load() < clients) std::this_thread::yield();
    start = Clock::now();
    go = true;
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < clients; ++i) {
      const auto at = static_cast<std::size_t>(i);
      connect_times.push_back(connect_us[at]);
      if (frame_us[at] < 0) {
        ++failed;
      } else {
        first_frame_times.push_back(frame_us[at]);
      }
      velkaro::platform::CloseSocket(sockets[at]);
    }
    // The sessions see their clients go before the next round connects.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  Print("connect", Summarise(connect_times));
  if (!first_frame_times.empty()) Print("first frame", Summarise(first_frame_times));
  std::printf("  clients without a first frame: %d of %d\n", failed, clients * rounds);
}

void BenchChurn(int cycles) {
  std::printf("churn: connect and close, nothing sent, %d cycles\n", cycles);
  AddOnUnderTest addon;
  std::vector<double> connect_times;
  connect_times.reserve(static_cast<std::size_t>(cycles));
  int failed = 0, stalled = 0;
  const double process_start = ProcessCpuMicros();
  const double client_start = ThreadCpuMicros();
  const auto wall_start = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    std::string error;
    const auto t0 = Clock::now();
    const SocketHandle s =
        velkaro::platform::ConnectTcp("127.0.0.1", protocol::kDefaultPort, &error);
    const double us = Micros(Clock::now() - t0);
    if (s == velkaro::platform::kInvalidSocket) {
      ++failed;
      continue;
    }
    connect_times.push_back(us);
    if (us >= 1e6) ++stalled;
    velkaro::platform::CloseSocket(s);
  }
  const double wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
  // The server accepts in order: once a last client is served, every connection before it has
  // been accepted and its session started. Then the last sessions are given time to end.
  {
    auto last = addon.Connect();
    zelm::Frame frame;
    if (!last || !last->FetchFrame(&frame)) ++failed;
  }
  const double caught_up_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double addon_cpu = ProcessCpuMicros() - process_start - (ThreadCpuMicros() - client_start);
  Print("connect", Summarise(connect_times));
  std::printf(
      "  %d cycles in %.2f s, all accepted after %.2f s; connects stalled 1 s or more: %d; "
      "failed: %d\n",
      cycles, wall_s, caught_up_s, stalled, failed);
  std::printf(
      "  add-on processor time per connection (accept, thread start, session, join): "
      "%.1f us\n",
      addon_cpu / cycles);
}

}  // namespace

// A recording in memory: frame i has latitude i and time i * step.
class MemorySource : public zelm::replay::FrameSource {
 public:
  MemorySource(int count, std::int64_t step_us) : count_(count), step_us_(step_us) {}
  std::int64_t DurationUs() const override { return (count_ - 1) * step_us_; }
  bool Seek(std::int64_t time_us, std::string*) override {
    next_ = static_cast<int>((time_us + step_us_ - 1) / step_us_);
    return true;
  }
  bool Next(std::int64_t* time_us, std::uint8_t* frame, std::string*) override {
    if (next_ >= count_) return false;
    velkaro::InitFrame(frame);
    velkaro::EncodeF64(frame + velkaro::FindFrameField("latitude")->offset, next_);
    *time_us = next_ * step_us_;
    ++next_;
    return true;
  }

 private:
  const int count_;
  const std::int64_t step_us_;
  int next_ = 0;
};

void BenchReplay(int frames) {
  std::printf("replay: %d frames at 60 Hz, due (or published) -> receipt by a waiting client\n",
              frames);
  // The add-on, paced as the replay is: a record every 16.7 ms, the client waiting for it.
  {
    AddOnUnderTest addon;
    auto client = addon.Connect();
    zelm::Frame frame;
    client->FetchFrame(&frame);
    std::vector<double> samples;
    for (int i = 0; i < frames; ++i) {
      client->SendAll(protocol::kTagFrame.data(), protocol::kTagSize);
      std::this_thread::sleep_for(std::chrono::microseconds(16667));
      const auto t0 = Clock::now();
      addon.Dispatch();
      client->ReceiveAll(frame.bytes.data(), frame.bytes.size());
      samples.push_back(Micros(Clock::now() - t0));
    }
    Print("add-on: publish -> frame received", Summarise(samples));
  }
  // The replay's player on a recording of as many frames, at speed 1.
  {
    constexpr std::int64_t kStepUs = 16667;
    zelm::replay::ReplaySettings settings;
    settings.file = "memory";
    settings.server.bind = "127.0.0.1";
    settings.server.port = 0;
    zelm::replay::Player player(std::make_unique<MemorySource>(frames + 10, kStepUs), settings);
    std::string error;
    if (!player.Start(&error)) {
      std::fprintf(stderr, "bench: %s\n", error.c_str());
      return;
    }
    auto client = zelm::Connection::Open("127.0.0.1", player.port(), &error, 10000);
    if (!client) {
      std::fprintf(stderr, "bench: %s\n", error.c_str());
      return;
    }
    const velkaro::FrameField& latitude = *velkaro::FindFrameField("latitude");
    std::vector<double> samples;
    zelm::Frame frame;
    double last = -1;
    while (static_cast<int>(samples.size()) < frames && client->FetchFrame(&frame)) {
      const auto received = Clock::now();
      const double index = frame.NumberAt(latitude, 0);
      if (index == last) continue;  // the same frame again after the fresh-frame wait
      last = index;
      if (index < 2) continue;  // published before the client was waiting
      const auto due = player.DueAt(static_cast<std::int64_t>(index) * kStepUs);
      samples.push_back(Micros(received - due));
    }
    player.Stop();
    Print("zelm replay: due -> frame received", Summarise(samples));
  }
}

int main(int argc, char** argv) {
  std::string which = "all";
  int clients = 64;
  double seconds = 10;
  int rounds = 20;
  int cycles = 10000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--clients" && i + 1 < argc) {
      clients = std::atoi(argv[++i]);
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--cycles" && i + 1 < argc) {
      cycles = std::atoi(argv[++i]);
    } else {
      which = arg;
    }
  }
  if (which == "latency" || which == "all") BenchLatency(2000);
  if (which == "roundtrip" || which == "all") BenchRoundTrip(20000);
  if (which == "load" || which == "all") BenchLoad(clients, seconds);
  if (which == "storm" || which == "all") BenchStorm(clients, rounds);
  if (which == "churn" || which == "all") BenchChurn(cycles);
  if (which == "replay" || which == "all") BenchReplay(1000);
  return 0;
}
