// zelm bench: N connections fetching frames flat out for S seconds; prints each one's rates and
// the request-to-reply latency over all of them.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "latency_histogram.h"

namespace zelm::cli {

namespace {

constexpr int kMaxBenchClients = 256;
constexpr double kMaxBenchSeconds = 3600.0;

// What bench's latency measures, for its help.
std::string LatencyText() {
  return "The latency is the time from sending \"" + std::string(protocol::kTagFrame) +
         "\" to the frame's last byte. The add-on\n"
         "first waits for a frame newer than the one that connection got last (at most " +
         std::to_string(protocol::kFreshFrameWaitMs) +
         " ms), so\n"
         "the figure includes up to one simulator frame period (about 17 ms at 60 frames/s): it\n"
         "measures how soon a client polling flat out sees each new frame, not the network alone.";
}

int CommandBench(const ConnectionOptions& options, int clients, double seconds) {
  const std::chrono::milliseconds timeout = options.Timeout();
  std::vector<std::unique_ptr<zelm::Connection>> connections;
  for (int i = 0; i < clients; ++i) connections.push_back(Connect(options, TimeLimit::kEachFrame));

  struct Result {
    long long replies = 0;
    long long new_frames = 0;
    LatencyHistogram latencies;
    std::string error;
  };
  std::vector<Result> results(static_cast<std::size_t>(clients));
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  std::printf("zelm bench: %d client%s fetching frames for %.1f s...\n", clients,
              clients == 1 ? "" : "s", seconds);
  std::fflush(stdout);
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(clients));
  // Set when the run cannot go on (a thread that could not start): the others stop too.
  std::atomic<bool> abandoned{false};
  JoinOnExit join(&threads, &abandoned);
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      Result& r = results[static_cast<std::size_t>(i)];
      zelm::Connection& connection = *connections[static_cast<std::size_t>(i)];
      try {
        zelm::Frame frame, previous;
        while (Clock::now() < deadline && !g_stop.load() && !abandoned.load()) {
          const auto sent = Clock::now();
          connection.SetDeadline(timeout);
          if (!connection.FetchFrame(&frame)) {
            if (!g_stop.load()) r.error = connection.error();  // Ctrl-C only stops the run
            return;
          }
          r.latencies.Add(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
          ++r.replies;
          if (frame.bytes != previous.bytes) {
            ++r.new_frames;
            previous = frame;
          }
        }
      } catch (const std::exception& e) {
        r.error = e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();

  LatencyHistogram all;
  int failed = 0;
  double new_frames_per_second = 0.0;
  for (int i = 0; i < clients; ++i) {
    const Result& r = results[static_cast<std::size_t>(i)];
    if (!r.error.empty()) {
      std::printf("client %3d: %s\n", i + 1, r.error.c_str());
      ++failed;
    }
    std::printf("client %3d: %7.1f replies/s, %7.1f new frames/s\n", i + 1, r.replies / seconds,
                r.new_frames / seconds);
    all.Merge(r.latencies);
    new_frames_per_second += r.new_frames / seconds / clients;
  }
  std::printf("request->reply latency over %" PRIu64
              " replies: p50 %.0f us  p90 %.0f us  p99 %.0f us  "
              "max %.0f us\n",
              all.total(), all.Percentile(50), all.Percentile(90), all.Percentile(99), all.max());
  std::printf(
      "  (each reply waited for a frame newer than its connection's last one: the figures\n"
      "  include up to one simulator frame period");
  if (new_frames_per_second > 0.0) {
    std::printf(", about %.1f ms at the %.1f new frames/s seen here",
                1000.0 / new_frames_per_second, new_frames_per_second);
  }
  std::printf(")\n");
  return failed == 0 ? kExitDone : kExitFailed;
}

}  // namespace

void AddBenchCommand(CLI::App& app, CommandContext& context) {
  struct BenchOptions {
    int clients = 1;
    double seconds = 5.0;
  };
  auto o = std::make_shared<BenchOptions>();
  CLI::App* bench =
      app.add_subcommand("bench", "N connections fetching frames flat out: rates and latency");
  bench->add_option("--clients", o->clients, "connections, 1 to 256 (default 1)")
      ->check(WholeNumber(1, kMaxBenchClients))
      ->type_name("N");
  bench->add_option("--seconds", o->seconds, "how long, at most 3600 (default 5)")
      ->check(Number(0.0, true, kMaxBenchSeconds, "takes seconds, more than 0 and at most 3600"))
      ->type_name("S");
  bench->footer(LatencyText() + "\n\n" + kExitStatusText);
  AddConnectionOptions(bench, &context.connection, "each frame");
  SetHandler(bench, &context,
             [&context, o] { return CommandBench(context.connection, o->clients, o->seconds); });
}

}  // namespace zelm::cli
