// olvetta-bench [filter | --list]: runs every registered figure, or those whose name contains
// filter, and prints one line per figure: "name value unit ratio".
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <chrono>

#include "bench.h"
#include "platform/files.h"
#include "platform/memory.h"

namespace olv::bench {

namespace {

BenchEntry gEntries[kMaxBenches]; // constant-initialised before any registrar runs
size_t gEntryCount = 0;
size_t gRefused = 0;

} // namespace

bool RegisterBench(const char* name, BenchFunction function) {
    if (gEntryCount >= kMaxBenches) {
        ++gRefused;
        return false;
    }
    gEntries[gEntryCount++] = BenchEntry{name, function};
    return true;
}

size_t BenchCount() {
    return gEntryCount;
}

const BenchEntry& BenchAt(size_t index) {
    return gEntries[index];
}

void ReportFigure(BenchRun& run, double value, const char* unit, double baseline) {
    const double ratio = baseline > 0 ? value / baseline : 0;
    std::printf("%s %.4g %s %.4g", run.name, value, unit, ratio);
    // A rate also as the time of one item: "rows/s" gives "ns/row".
    const size_t length = std::strlen(unit);
    if (value > 0 && length > 2 && std::strcmp(unit + length - 2, "/s") == 0) {
        const int itemChars = static_cast<int>(length - 2) - (unit[length - 3] == 's' ? 1 : 0);
        std::printf(" %.1f ns/%.*s", 1e9 / value, itemChars, unit);
    }
    std::printf("\n");
    std::fflush(stdout);
    run.reported = true;
}

double RawReadSeconds(const char16_t* path) {
    constexpr uint32_t kPieceBytes = uint32_t{64} << 20;
    void* piece = AllocZeroed(kPieceBytes);
    if (piece == nullptr) return -1;
    const auto start = std::chrono::steady_clock::now();
    FileHandle in = OpenFileForReading(path, nullptr);
    bool ok = in != nullptr;
    for (;;) {
        uint32_t read = 0;
        if (!ok || !ReadFileBytes(in, piece, kPieceBytes, &read)) {
            ok = false;
            break;
        }
        ClobberMemory();
        if (read == 0) break;
    }
    CloseFile(in);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    FreeBlock(piece);
    return ok ? seconds : -1;
}

double RawWriteSeconds(const char16_t* from, const char16_t* to) {
    constexpr int64_t kPieceBytes = int64_t{64} << 20;
    FileHandle in = OpenFileForReading(from, nullptr);
    int64_t size = 0;
    if (in == nullptr || !FileSize(in, &size) || size <= 0) {
        CloseFile(in);
        return -1;
    }
    auto* bytes = static_cast<uint8_t*>(AllocZeroed(static_cast<size_t>(size)));
    bool ok = bytes != nullptr;
    for (int64_t at = 0; ok && at < size;) {
        const uint32_t n = static_cast<uint32_t>(size - at < kPieceBytes ? size - at : kPieceBytes);
        uint32_t read = 0;
        ok = ReadFileBytes(in, bytes + at, n, &read) && read == n;
        at += n;
    }
    CloseFile(in);
    double seconds = -1;
    if (ok) {
        DeleteFilePath(to);
        const auto start = std::chrono::steady_clock::now();
        FileHandle out = CreateNewFile(to, nullptr);
        ok = out != nullptr;
        for (int64_t at = 0; ok && at < size;) {
            const uint32_t n =
                static_cast<uint32_t>(size - at < kPieceBytes ? size - at : kPieceBytes);
            uint32_t written = 0;
            ok = WriteFileBytes(out, bytes + at, n, &written);
            at += n;
        }
        ok = ok && FlushFile(out);
        CloseFile(out);
        if (ok) {
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        DeleteFilePath(to);
    }
    FreeBlock(bytes);
    return seconds;
}

void ReportFailure(BenchRun& run, const char* reason) {
    std::printf("%s FAILED %s\n", run.name, reason);
    std::fflush(stdout);
    run.reported = true;
    run.failed = true;
}

} // namespace olv::bench

int main(int argc, char** argv) {
    using namespace olv::bench;
    const char* filter = argc > 1 ? argv[1] : nullptr;
    if (filter != nullptr && std::strcmp(filter, "--list") == 0) {
        for (size_t i = 0; i < BenchCount(); ++i)
            std::printf("%s\n", BenchAt(i).name);
        return 0;
    }
    if (gRefused != 0) {
        std::fprintf(stderr,
                     "olvetta-bench: %zu figures beyond the first %zu were not registered\n",
                     gRefused, kMaxBenches);
        return 1;
    }

    int status = 0;
    size_t ran = 0;
    for (size_t i = 0; i < BenchCount(); ++i) {
        const BenchEntry& entry = BenchAt(i);
        if (filter != nullptr && std::strstr(entry.name, filter) == nullptr) continue;
        BenchRun run{entry.name, false, false};
        entry.function(run);
        ++ran;
        if (!run.reported) ReportFailure(run, "reported no figure");
        if (run.failed) status = 1;
    }
    if (ran == 0) {
        std::fprintf(stderr, "olvetta-bench: no figure matches \"%s\"\n", filter ? filter : "");
        return 1;
    }
    return status;
}
