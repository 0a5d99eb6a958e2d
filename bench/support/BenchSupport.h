#pragma once

// Helpers the benchmarks share: clocks, child processes they measure, the statistics
// they print and the files they compare.

#include <string>
#include <vector>

namespace bench {

// CPU seconds the whole process (every thread) has used so far.
double processCpuSeconds();

// CPU seconds the calling thread has used so far.
double threadCpuSeconds();

// Seconds on the monotonic clock; only differences between two readings mean anything.
double wallSeconds();

// Runs args[0] (looked up on PATH) with `args` as its argument list, waits for it and
// returns the CPU seconds (user + system) it used. Negative when it cannot be started,
// is ended by a signal or exits with a code other than 0.
double childCpuSeconds(const std::vector<std::string>& args);

// Runs `program` (a path, not looked up on PATH) with `args` after its name, waits for
// it and returns the wall time from the start to its end in milliseconds, whatever its
// exit status.
double childWallMilliseconds(const std::string& program, const std::vector<std::string>& args);

// The median of `v`, which must not be empty; of an even count, the mean of the two
// middle values.
double median(std::vector<double> v);

// The middle value of `v`, which must not be empty; of an even count, the upper of the
// two middle values.
double upperMedian(std::vector<double> v);

// The smallest value of `v`, which must not be empty.
double least(const std::vector<double>& v);

// The nearest-rank percentile `p` (0 < p <= 1) of `v`: the smallest value that at least
// p * v.size() values do not exceed. 0 for an empty `v`.
double percentile(std::vector<double> v, double p);

// The bytes of a whole regular file; empty when it cannot be opened or read.
std::string readAll(const std::string& path);

// The size of a file in bytes; -1 when it cannot be examined.
long fileSize(const std::string& path);

} // namespace bench
