// Figures of the YARA rules over files as a sample writes them (8 files of 4 MiB under /tmp, each
// a mix of random bytes, runs of zeros and lines of text), against 100 generated rules:
//
// yara_scan_written: bytes per second ScanFileWithYaraRules reads and scans (no cache: each
// file's content scanned every time).
// yara_scan_cached: the same through a cache that holds every content already: the read and
// the content's digest, no scan.
// yara_scan_first_seen: the same through a cache of one entry, so every content misses: the
// read, the digest and the scan (what a content met for the first time costs).
//
// yara_scan_recording: the same through the scanner a recording uses (facts/yara_scanner.h): each
// file queued, scanned on the scanner's thread through its cache (one entry, so each content is
// new) and its result polled, as the window thread takes it.
//
// Baseline of all: the same files read whole in 64 MiB pieces (RawReadSeconds), bytes per
// second. The ratio is the share of the raw read rate the scan reaches.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench.h"
#include "facts/yara_rules.h"
#include "facts/yara_scanner.h"
#include "platform/thread.h"

using namespace olv;

namespace {

constexpr int kFiles = 8;
constexpr size_t kFileBytes = size_t{4} << 20;
constexpr int kRules = 100;

uint64_t Next(uint64_t* state) {
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return *state >> 33;
}

// A rule of the kinds an analyst writes: text (ASCII, wide, nocase), hex with wildcards and
// jumps, a header test, a count; about one in ten also reads the PE header.
std::string MakeRule(int i) {
    std::string text = "rule generated_" + std::to_string(i) + " {\n  meta:\n    severity = \"" +
                       (i % 4 == 0 ? "high" : "medium") + "\"\n  strings:\n";
    text += "    $a = \"stage" + std::to_string(i) + "_payload\" ascii wide nocase\n";
    text += "    $b = { 4D 5A ?? 00 [4-16] " + std::to_string(10 + i % 89) + " ?? C3 }\n";
    text += "    $c = \"http://update" + std::to_string(i) + ".example/get\"\n";
    text += "  condition:\n    ";
    switch (i % 4) {
    case 0:
        text += "any of them";
        break;
    case 1:
        text += "uint16(0) == 0x5A4D and 2 of them";
        break;
    case 2:
        text += "#a > 2 or ($b and $c)";
        break;
    default:
        text += "all of them and filesize < 8MB";
        break;
    }
    text += "\n}\n";
    if (i % 10 == 0)
        text = "import \"pe\"\n" + text.substr(0, text.rfind("\n}")) +
               " or pe.number_of_sections > 90\n}\n";
    return text;
}

std::string MakeContent(uint64_t seed) {
    std::string bytes;
    bytes.reserve(kFileBytes);
    uint64_t state = seed;
    bytes += "MZ";
    while (bytes.size() < kFileBytes) {
        switch (Next(&state) % 3) {
        case 0:
            for (int i = 0; i < 4096; ++i)
                bytes.push_back(static_cast<char>(Next(&state)));
            break;
        case 1:
            bytes.append(1024 + Next(&state) % 4096, '\0');
            break;
        default:
            for (int i = 0; i < 32; ++i)
                bytes += "GET /index" + std::to_string(Next(&state) % 100000) +
                         ".html HTTP/1.1 host: cdn.example.org stage user agent\r\n";
            break;
        }
    }
    bytes.resize(kFileBytes);
    return bytes;
}

struct Written {
    std::filesystem::path dir;
    std::vector<std::u16string> paths;
    YaraRuleSet rules{};
    bool ready = false;

    Written() {
        std::error_code ec;
        dir = std::filesystem::temp_directory_path(ec) /
              ("olv_bench_yara_" + std::to_string(getpid()));
        std::filesystem::remove_all(dir, ec);
        std::filesystem::create_directories(dir, ec);
        for (int f = 0; f < kFiles; ++f) {
            const std::filesystem::path file = dir / ("written_" + std::to_string(f) + ".bin");
            const std::string bytes = MakeContent(static_cast<uint64_t>(f) + 1);
            std::ofstream(file, std::ios::binary)
                .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            paths.push_back(file.u16string());
        }
        std::string text;
        for (int i = 0; i < kRules; ++i)
            text += MakeRule(i);
        ready = LoadYaraRuleText(text.data(), text.size(), u"generated.yar", &rules) &&
                rules.rulesLoaded == kRules;
    }
    ~Written() {
        FreeYaraRuleSet(&rules);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

void ScanFigure(bench::BenchRun& run, uint32_t cacheEntries) {
    const bool cached = cacheEntries > 0;
    Written written;
    if (!written.ready) {
        bench::ReportFailure(run, "the generated rules did not load");
        return;
    }
    YaraScanCache cache{};
    if (cached && !InitYaraScanCache(&cache, cacheEntries)) {
        bench::ReportFailure(run, "no memory for the cache");
        return;
    }
    YaraScanCache* use = cached ? &cache : nullptr;
    bool failed = false;
    uint32_t matches = 0;
    const auto scanAll = [&] {
        for (const std::u16string& path : written.paths) {
            YaraScanResult result{};
            failed |= !ScanFileWithYaraRules(&written.rules, path.c_str(), &result, use);
            matches += result.matchCount;
        }
    };
    scanAll(); // fills the cache, and the page cache for both sides
    const bench::PairTimes t = bench::BestSecondsPerCallPair(
        scanAll,
        [&] {
            for (const std::u16string& path : written.paths)
                failed |= bench::RawReadSeconds(path.c_str()) < 0;
        },
        3);
    if (cached) ReleaseYaraScanCache(&cache);
    if (failed) {
        bench::ReportFailure(run, "a file could not be scanned or read");
        return;
    }
    const double bytes = static_cast<double>(kFiles) * static_cast<double>(kFileBytes);
    std::printf("%s: %d rules, %u matches in all runs, %.1f MB/s scanned, %.1f MB/s read\n",
                run.name, kRules, matches, bytes / t.work / 1e6, bytes / t.baseline / 1e6);
    bench::ReportFigure(run, bytes / t.work, "bytes/s", bytes / t.baseline);
}

void CountMatches(void* context, const YaraScanAnswer& answer) {
    auto* matches = static_cast<uint32_t*>(context);
    if (answer.result->status == YaraScanStatus::Scanned) *matches += answer.result->matchCount;
    else *matches |= 0x80000000u; // a failure shows as an impossible count
}

void ScannerFigure(bench::BenchRun& run) {
    Written written;
    if (!written.ready) {
        bench::ReportFailure(run, "the generated rules did not load");
        return;
    }
    YaraScannerConfig config{};
    config.cacheEntries = 1;
    YaraScanner* scanner = StartYaraScanner(&config);
    if (scanner == nullptr) {
        bench::ReportFailure(run, "the scanner did not start");
        return;
    }
    uint32_t matches = 0;
    bool failed = false;
    const auto scanAll = [&] {
        for (size_t i = 0; i < written.paths.size(); ++i)
            failed |= !RequestYaraScan(scanner, i, &written.rules, written.paths[i].c_str());
        // Polled as the window thread's timer would, without its 100 ms pause.
        while (PendingYaraScans(scanner) > 0) {
            PollYaraScans(scanner, CountMatches, &matches, ~0u);
            SleepMilliseconds(1); // the scanner has the core
        }
    };
    scanAll();
    const bench::PairTimes t = bench::BestSecondsPerCallPair(
        scanAll,
        [&] {
            for (const std::u16string& path : written.paths)
                failed |= bench::RawReadSeconds(path.c_str()) < 0;
        },
        3);
    ReleaseYaraScanner(scanner);
    if (failed || (matches & 0x80000000u) != 0) {
        bench::ReportFailure(run, "a file could not be queued, scanned or read");
        return;
    }
    const double bytes = static_cast<double>(kFiles) * static_cast<double>(kFileBytes);
    std::printf("%s: %d rules, %u matches in all runs, %.1f MB/s scanned, %.1f MB/s read\n",
                run.name, kRules, matches, bytes / t.work / 1e6, bytes / t.baseline / 1e6);
    bench::ReportFigure(run, bytes / t.work, "bytes/s", bytes / t.baseline);
}

} // namespace

OLV_BENCH(yara_scan_recording) {
    ScannerFigure(run);
}

OLV_BENCH(yara_scan_written) {
    ScanFigure(run, 0);
}

OLV_BENCH(yara_scan_cached) {
    ScanFigure(run, kFiles);
}

OLV_BENCH(yara_scan_first_seen) {
    ScanFigure(run, 1);
}
