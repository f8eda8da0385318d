// Figures of the image facts the facts worker reads for every started program and loaded image:
//
// facts_read_uncached: images per second ReadImageFacts reads (the file read whole, libyara's
// digests, import hash and version texts).
// facts_read_cached: the same through a cache that holds the image's facts already: the file is
// opened, its size and last-write time taken and the kept facts handed out.
//
// Baseline of both: the same file read whole in 64 MiB pieces (RawReadSeconds), files per second.
// The image is a real PE file where one is at hand (a Wine library natively, the system's own
// library on Windows), else this program itself.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "bench.h"
#include "facts/image_facts.h"

using namespace olv;

namespace {

std::u16string ImagePath() {
    const char* const candidates[] = {
        "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/user32.dll",
        "/usr/lib/wine/x86_64-windows/user32.dll",
        "C:\\Windows\\System32\\user32.dll",
        "/proc/self/exe",
    };
    for (const char* candidate : candidates) {
        std::error_code ec;
        const std::filesystem::path path = std::filesystem::canonical(candidate, ec);
        if (!ec && std::filesystem::is_regular_file(path, ec)) return path.u16string();
    }
    return {};
}

void FactsFigure(bench::BenchRun& run, bool cached) {
    const std::u16string path = ImagePath();
    ImageFactsCache cache{};
    if (path.empty() || !InitImageFactsCache(&cache, 16)) {
        bench::ReportFailure(run, "no image to read, or no memory for the cache");
        return;
    }
    ImageFacts facts{};
    if (!ReadImageFactsCached(&cache, path.c_str(), &facts)) { // fills the cache and page cache
        ReleaseImageFactsCache(&cache);
        bench::ReportFailure(run, "the image's facts could not be read (a build without libyara?)");
        return;
    }
    constexpr int kReads = 16;
    bool failed = false;
    const bench::PairTimes t = bench::BestSecondsPerCallPair(
        [&] {
            for (int i = 0; i < kReads; ++i) {
                failed |= cached ? !ReadImageFactsCached(&cache, path.c_str(), &facts)
                                 : !ReadImageFacts(path.c_str(), &facts);
            }
            bench::KeepValue(facts.sha256[0]);
        },
        [&] {
            for (int i = 0; i < kReads; ++i)
                failed |= bench::RawReadSeconds(path.c_str()) < 0;
        },
        3);
    const uint64_t hits = cache.hits;
    ReleaseImageFactsCache(&cache);
    if (failed) {
        bench::ReportFailure(run, "a read failed");
        return;
    }
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(std::filesystem::path(path), ec);
    std::printf("%s: %s (%llu bytes), %llu cache hits, %.0f reads/s, %.0f raw reads/s\n",
                run.name, std::filesystem::path(path).string().c_str(),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(hits),
                kReads / t.work, kReads / t.baseline);
    bench::ReportFigure(run, kReads / t.work, "images/s", kReads / t.baseline);
}

} // namespace

OLV_BENCH(facts_read_uncached) {
    FactsFigure(run, false);
}

OLV_BENCH(facts_read_cached) {
    FactsFigure(run, true);
}
