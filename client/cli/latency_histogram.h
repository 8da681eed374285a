// zelm bench's latencies: a histogram in buckets 0.5 % wide (1 us wide below 1 ms), so that a
// long run with many clients costs the same few kilobytes per client as a short one, and the
// percentiles are within half a percent.
//
// Thread-safety: one thread at a time per histogram (bench gives each client its own and merges
// them once the clients have ended).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelm::cli {

class LatencyHistogram {
 public:
  // Records a latency of `us` microseconds (a negative one or NaN counts as 0; one of an hour
  // or more lands in the last bucket, and still counts towards max()).
  void Add(double us);
  // Adds the samples of `other`.
  void Merge(const LatencyHistogram& other);
  std::uint64_t total() const { return total_; }
  double max() const { return max_; }
  // The `p` percentile: the lower edge of the bucket holding the sample at p % of the sorted
  // samples; 0 without samples.
  double Percentile(double p) const;

 private:
  static constexpr double kLinearUs = 1000.0;
  static constexpr double kStep = 1.005;
  // Up to an hour in microseconds: 1000 * 1.005^k = 3.6e9 for k ~ 3030.
  static constexpr std::size_t kBuckets = 1000 + 3100;

  static std::size_t Bucket(double us);
  static double LowerEdge(std::size_t bucket);

  std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(kBuckets, 0);
  std::uint64_t total_ = 0;
  double max_ = 0.0;
};

}  // namespace zelm::cli
