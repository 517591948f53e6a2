// Values summarised: count, mean, extremes and the 99th percentile, of a
// list at once or of a run's values in bounded memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace player {

struct Summary {
    uint64_t count = 0;
    double mean = 0, p99 = 0, max = 0, min = 0;
};

// Values summarised in bounded memory: exact while they take few distinct
// values (as on the virtual clock); beyond that, values are kept on a grid
// that coarsens as needed, so the percentile is off by at most one step of
// the grid (reported as `resolution`); count, mean, min and max stay exact.
class Distribution {
public:
    Distribution();
    void Add(double value);
    Summary Get() const;
    // The nearest-rank value at quantile q (0 to 1).
    double Percentile(double q) const;
    double Resolution() const { return quantum_; }

private:
    // value / quantum -> count, in a table of fixed size with open
    // addressing: a value costs one probe or two and never an allocation,
    // which a tick on the real clock (every value new) can afford.
    struct Bin {
        int64_t key;
        uint64_t count;   // 0: the slot is free
    };
    Bin* FindOrAdd(int64_t key);
    void Coarsen();
    std::vector<Bin> bins_;
    size_t used_ = 0;
    double quantum_ = 1e-6;              // the grid's step
    uint64_t count_ = 0;
    double sum_ = 0, min_ = 0, max_ = 0;
    static constexpr size_t kNoBin = SIZE_MAX;
    size_t last_ = kNoBin;               // the bin the last value went to (none after a coarsening)
    double lastValue_ = 0;
};

// The percentiles in the form the timing model takes (--timer-lateness,
// "p50:...,max:..."), or "" with no values.
std::string LatenessPercentiles(const Distribution& d);

Summary Summarise(std::vector<double> values);

}  // namespace player
