// zelm bench's latency histogram: see latency_histogram.h.
#include "latency_histogram.h"

#include <algorithm>
#include <cmath>

namespace zelm::cli {

void LatencyHistogram::Add(double us) {
  ++counts_[Bucket(us)];
  ++total_;
  max_ = std::max(max_, us);
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
  for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
  total_ += other.total_;
  max_ = std::max(max_, other.max_);
}

double LatencyHistogram::Percentile(double p) const {
  if (total_ == 0) return 0.0;
  const auto rank =
      std::min<std::uint64_t>(total_ - 1, static_cast<std::uint64_t>(p / 100.0 * total_));
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < kBuckets; ++i) {
    seen += counts_[i];
    if (seen > rank) return LowerEdge(i);
  }
  return max_;
}

std::size_t LatencyHistogram::Bucket(double us) {
  if (!(us >= 0.0)) return 0;
  if (us < kLinearUs) return static_cast<std::size_t>(us);
  const double k = std::log(us / kLinearUs) / std::log(kStep);
  return std::min(kBuckets - 1, static_cast<std::size_t>(kLinearUs) + static_cast<std::size_t>(k));
}

double LatencyHistogram::LowerEdge(std::size_t bucket) {
  if (bucket < static_cast<std::size_t>(kLinearUs)) return static_cast<double>(bucket);
  return kLinearUs *
         std::pow(kStep, static_cast<double>(bucket - static_cast<std::size_t>(kLinearUs)));
}

}  // namespace zelm::cli
