// olvetta-bench: a tiny harness for throughput figures.
//
// A figure is a function registered with OLV_BENCH(name). It measures its own work and a
// baseline in the same run (so the ratio does not depend on the machine's speed of the day) and
// reports one line through ReportFigure:
//
//     name value unit ratio
//
// where ratio = value / baseline. A new figure is one .cpp file in tools/bench:
//
//     #include "bench.h"
//     OLV_BENCH(my_figure) {
//         const olv::bench::PairTimes t = olv::bench::BestSecondsPerCallPair(
//             [&] { DoTheWork(); }, [&] { DoTheBaseline(); });
//         olv::bench::ReportFigure(run, items / t.work, "items/s", items / t.baseline);
//     }
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace olv::bench {

// What one figure is given and reports back; bench_main prints the line.
struct BenchRun {
    const char* name;
    bool reported;
    bool failed;
};

using BenchFunction = void (*)(BenchRun& run);

struct BenchEntry {
    const char* name;
    BenchFunction function;
};

// The registry is a fixed array filled during static initialisation; it allocates nothing.
constexpr size_t kMaxBenches = 64;
bool RegisterBench(const char* name, BenchFunction function);
size_t BenchCount();
const BenchEntry& BenchAt(size_t index);

struct BenchRegistrar {
    BenchRegistrar(const char* name, BenchFunction function) { RegisterBench(name, function); }
};

// Prints "name value unit ratio" for the figure, the ratio being value / baseline.
void ReportFigure(BenchRun& run, double value, const char* unit, double baseline);
// Prints "name FAILED reason" and makes the tool exit with status 1.
void ReportFailure(BenchRun& run, const char* reason);

// The baseline of opening a file: seconds to read it whole in 64 MiB pieces; -1 when it cannot be
// read.
double RawReadSeconds(const char16_t* path);
// The baseline of writing a file: seconds to write the bytes of from raw to the new file to and
// flush it (to is removed after); -1 when from cannot be read or to written.
double RawWriteSeconds(const char16_t* from, const char16_t* to);

// Keeps the compiler from dropping a computation whose result is otherwise unused.
template <typename T> inline void KeepValue(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

// Makes the compiler assume that all memory may have been read and changed.
inline void ClobberMemory() {
    asm volatile("" : : : "memory");
}

// One run of a measurement lasts about this long; the best of kRuns runs counts.
constexpr double kTargetRunSeconds = 0.05;
constexpr int kRuns = 7;

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A repeat count for which one run of body lasts about kTargetRunSeconds.
template <typename Body> uint64_t CalibrateRepeats(Body& body) {
    uint64_t repeats = 1;
    for (;;) {
        const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < repeats; ++i)
            body();
        const double seconds = SecondsSince(start);
        if (seconds >= kTargetRunSeconds / 4 || repeats >= (uint64_t{1} << 40)) {
            const double wanted = seconds > 0
                                      ? kTargetRunSeconds * static_cast<double>(repeats) / seconds
                                      : static_cast<double>(repeats);
            return wanted < 1 ? 1 : static_cast<uint64_t>(wanted);
        }
        repeats *= 2;
    }
}

template <typename Body> double TimeRepeats(Body& body, uint64_t repeats) {
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < repeats; ++i)
        body();
    return SecondsSince(start);
}

// Seconds per call of body: the shortest of `runs` runs (the run least disturbed by the rest of
// the machine) divided by the calls per run. Takes about (runs + 2) * kTargetRunSeconds.
template <typename Body> double BestSecondsPerCall(Body&& body, int runs = kRuns) {
    const uint64_t repeats = CalibrateRepeats(body);
    double best = -1;
    for (int run = 0; run < runs; ++run) {
        const double seconds = TimeRepeats(body, repeats);
        if (best < 0 || seconds < best) best = seconds;
    }
    return best / static_cast<double>(repeats);
}

// The figure and its baseline, their runs interleaved so that both see the same machine load;
// use this for the two sides of a ratio. Returns seconds per call of each.
struct PairTimes {
    double work;
    double baseline;
};

template <typename Work, typename Baseline>
PairTimes BestSecondsPerCallPair(Work&& work, Baseline&& baseline, int runs = kRuns) {
    const uint64_t workRepeats = CalibrateRepeats(work);
    const uint64_t baseRepeats = CalibrateRepeats(baseline);
    double bestWork = -1;
    double bestBase = -1;
    for (int run = 0; run < runs; ++run) {
        const double w = TimeRepeats(work, workRepeats);
        const double b = TimeRepeats(baseline, baseRepeats);
        if (bestWork < 0 || w < bestWork) bestWork = w;
        if (bestBase < 0 || b < bestBase) bestBase = b;
    }
    return PairTimes{bestWork / static_cast<double>(workRepeats),
                     bestBase / static_cast<double>(baseRepeats)};
}

} // namespace olv::bench

#define OLV_BENCH_CONCAT_INNER(a, b) a##b
#define OLV_BENCH_CONCAT(a, b) OLV_BENCH_CONCAT_INNER(a, b)

// Defines and registers a figure; the body sees `::olv::bench::BenchRun& run`.
#define OLV_BENCH(figure)                                                                          \
    static void OLV_BENCH_CONCAT(OlvBench_, figure)(::olv::bench::BenchRun & run);                 \
    static const ::olv::bench::BenchRegistrar OLV_BENCH_CONCAT(olvBenchRegistrar_, figure)(        \
        #figure, &OLV_BENCH_CONCAT(OlvBench_, figure));                                            \
    static void OLV_BENCH_CONCAT(OlvBench_, figure)(::olv::bench::BenchRun & run)
