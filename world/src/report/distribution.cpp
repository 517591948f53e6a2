#include "report/distribution.h"

#include <algorithm>
#include <cmath>

#include "host/lateness.h"

namespace player {

Summary Summarise(std::vector<double> values)
{
    Summary s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / values.size();
    s.min = values.front();
    s.max = values.back();
    // Nearest-rank percentile.
    size_t rank = static_cast<size_t>(std::ceil(0.99 * values.size()));
    s.p99 = values[rank == 0 ? 0 : rank - 1];
    return s;
}

namespace {
// Distinct values kept before the grid coarsens.
const size_t kMaxBins = 4096;
}  // namespace

Distribution::Distribution() : bins_(2 * kMaxBins, Bin{0, 0}) {}

Distribution::Bin* Distribution::FindOrAdd(int64_t key)
{
    // The table is a power of two at most half full, so a free slot is
    // always found; keys are spread by a multiplicative hash.
    const size_t mask = bins_.size() - 1;
    size_t i = static_cast<size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    for (;; i = (i + 1) & mask) {
        Bin& b = bins_[i];
        if (b.count == 0) {
            b.key = key;
            ++used_;
            return &b;
        }
        if (b.key == key)
            return &b;
    }
}

void Distribution::Coarsen()
{
    std::vector<Bin> old(bins_.size(), Bin{0, 0});
    old.swap(bins_);
    used_ = 0;
    last_ = kNoBin;
    for (const Bin& b : old)
        if (b.count != 0)
            FindOrAdd(static_cast<int64_t>(std::floor(static_cast<double>(b.key) / 2.0)))->count += b.count;
    quantum_ *= 2;
}

void Distribution::Add(double value)
{
    // A run of the same value (every tick on the virtual clock) counts in
    // the bin the last one found; the sum still adds each value in turn.
    if (last_ != kNoBin && value == lastValue_) {
        ++count_;
        sum_ += value;
        ++bins_[last_].count;
        return;
    }
    if (count_ == 0 || value < min_)
        min_ = value;
    if (count_ == 0 || value > max_)
        max_ = value;
    ++count_;
    sum_ += value;
    Bin* b = FindOrAdd(static_cast<int64_t>(std::floor(value / quantum_ + 0.5)));
    b->count += 1;
    last_ = static_cast<size_t>(b - bins_.data());
    lastValue_ = value;
    while (used_ > kMaxBins)
        Coarsen();
}

Summary Distribution::Get() const
{
    Summary s;
    s.count = count_;
    if (count_ == 0)
        return s;
    s.mean = sum_ / count_;
    s.min = min_;
    s.max = max_;
    s.p99 = Percentile(0.99);
    return s;
}

double Distribution::Percentile(double q) const
{
    if (count_ == 0)
        return 0;
    // Nearest-rank percentile, clamped to the exact extremes.
    uint64_t rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_)));
    if (rank == 0)
        rank = 1;
    std::vector<std::pair<int64_t, uint64_t>> bins;
    bins.reserve(used_);
    for (const Bin& b : bins_)
        if (b.count != 0)
            bins.emplace_back(b.key, b.count);
    std::sort(bins.begin(), bins.end());
    uint64_t seen = 0;
    for (const auto& b : bins) {
        seen += b.second;
        if (seen >= rank)
            return std::min(max_, std::max(min_, static_cast<double>(b.first) * quantum_));
    }
    return max_;
}

// The percentiles in the form the timing model takes (--timer-lateness), so
// that a run's lateness can be fed back into a run on the virtual clock.
std::string LatenessPercentiles(const Distribution& d)
{
    Summary s = d.Get();
    if (s.count == 0)
        return "";
    host::LatenessProfile p;
    auto ns = [](double ms) { return static_cast<uint64_t>(std::llround(std::max(ms, 0.0) * 1e6)); };
    for (double q : host::kReportedQuantiles)
        p.points.push_back({q, ns(d.Percentile(q))});
    p.points.push_back({1, ns(s.max)});
    return host::FormatLatenessProfile(p);
}

}  // namespace player
