// Figures of the compact rows and the compact session file.
//
// memory_per_row_10m (and memory_per_row_1m, the quick run): resident bytes per row, texts
// included, after 10,000,000 (1,000,000) generated rows went through the ring into a recording's
// store, every row shown: the growth of the process's resident set over the recording (the ring,
// the records, the text store and the shown rows), divided by the rows; the peak is printed.
// Baseline: the bytes of one EventRow (3,256), what a row takes today. The ratio is the share
// of today's memory a row takes.
//
// The rows follow the mix of the scenarios' recordings (tests/scenarios/golden: 390 rows of 26
// kinds, DLL loads the most, then file opens and writes, process exits, ...): each row's kind is
// drawn with those counts as weights. Paths repeat as they do there, about four rows for each
// distinct path: a row names a new path with probability 1/4 and otherwise one of the last 4,096
// paths its kind named. Seven processes; registry and file rows carry one of a few thousand key objects;
// network rows a byte count of a few hundred values.
//
// session_compact_save_1m, session_compact_open_1m: rows per second that the compact session of
// 1,000,000 such rows is written (head, text table, records, flush, move into place) from the
// compact records, and read back (head, table into a fresh store, records, every check).
// Baseline: the same bytes written raw to a new file and flushed, or read back raw, as rows per
// second; the ratio is the share of the raw rate reached.
// session_compact_size_1m: the compact file's bytes against those of version 2 for the same rows
// (16 + 1,296 + rows x 3,256); the ratio is the share.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "bench.h"
#include "export/safe_file.h"
#include "export/session_compact.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/atomic.h"
#include "capture/event_queue.h"
#include "platform/sim/headless_ui.h"
#include "record/compact_row.h"
#include "record/recording.h"
#include "views/row_store.h"

using namespace olv;

namespace {

struct KindWeight {
    RowKind kind;
    uint32_t weight;
    const char16_t* path; // one %u: the distinct path's number
};

const KindWeight kMix[] = {
    {RowKind::LoadedDll, 101, u"C:\\Windows\\System32\\module%u.dll"},
    {RowKind::OpenedFile, 33, u"C:\\Users\\analyst\\AppData\\Local\\Temp\\file%u.tmp"},
    {RowKind::WroteFile, 31, u"C:\\Users\\analyst\\AppData\\Roaming\\Cache\\data%u.bin"},
    {RowKind::ProcessExited, 29, u""},
    {RowKind::ClosedFile, 23, u"C:\\Users\\analyst\\Documents\\report%u.docx"},
    {RowKind::StartedChildProcess, 21, u"\"C:\\Windows\\System32\\cmd.exe\" /c task%u.bat"},
    {RowKind::ReleasedFileHandle, 19, u"C:\\ProgramData\\Vendor\\state%u.db"},
    {RowKind::ReadFile, 18, u"C:\\Windows\\System32\\en-US\\module%u.dll.mui"},
    {RowKind::DnsQuery, 14, u"host%u.example.com"},
    {RowKind::StartedProcess, 13, u"\"C:\\Samples\\sample%u.exe\""},
    {RowKind::DnsAnswer, 11, u"host%u.example.com"},
    {RowKind::ConnectedTcp, 11, u"10.0.0.5:%u -> 93.184.216.34:443"},
    {RowKind::ReceivedTcp, 11, u"10.0.0.5:%u -> 93.184.216.34:443"},
    {RowKind::SentTcp, 10, u"10.0.0.5:%u -> 93.184.216.34:443"},
    {RowKind::TargetProcessExited, 9, u""},
    {RowKind::ReadRegistryValue, 7, u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Item%u"},
    {RowKind::OpenedRegistryKey, 6, u"HKCU\\Software\\Classes\\CLSID\\{%u}"},
    {RowKind::WroteRegistryValue, 5, u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run%u"},
    {RowKind::ClosedRegistryKey, 4, u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\svc%u"},
    {RowKind::DisconnectedTcp, 3, u"10.0.0.5:%u -> 93.184.216.34:443"},
    {RowKind::SentUdp, 3, u"10.0.0.5:%u -> 8.8.8.8:53"},
    {RowKind::ChangedFileInformation, 3, u"C:\\Users\\analyst\\Desktop\\note%u.txt"},
    {RowKind::FlushedRegistryKey, 2, u"HKCU\\Software\\Vendor\\Key%u"},
    {RowKind::ListedFolder, 1, u"C:\\Users\\analyst\\Folder%u\\"},
    {RowKind::UnloadedDll, 1, u"C:\\Windows\\System32\\module%u.dll"},
    {RowKind::CreatedRegistryKey, 1, u"HKCU\\Software\\Vendor\\New%u"},
};
constexpr size_t kMixKinds = sizeof kMix / sizeof kMix[0];
constexpr uint32_t kMixTotal = 390;

constexpr uint32_t kRecentPaths = 4096;

struct Generator {
    uint64_t state;
    uint32_t distinct[kMixKinds];              // distinct paths of each kind named so far
    uint32_t recent[kMixKinds][kRecentPaths];  // the numbers of the last paths of each kind
    uint32_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
};

void MakeRow(Generator* g, uint32_t i, EventRow* row) {
    std::memset(static_cast<void*>(row), 0, sizeof *row);
    uint32_t pick = g->Next() % kMixTotal;
    size_t k = 0;
    while (pick >= kMix[k].weight) {
        pick -= kMix[k].weight;
        ++k;
    }
    k %= kMixKinds;
    const KindWeight& w = kMix[k];
    row->category = RowKindCategory(w.kind);
    CopyBounded(row->operation, kOperationChars, RowKindOperation(w.kind));
    // A new path, or one of the last paths of the kind named.
    uint32_t number;
    uint32_t& distinct = g->distinct[k];
    if (distinct == 0 || g->Next() % 4 == 0) {
        number = distinct++;
        g->recent[k][number % kRecentPaths] = number;
    } else {
        const uint32_t known = distinct < kRecentPaths ? distinct : kRecentPaths;
        number = g->recent[k][g->Next() % known];
    }
    FormatText(row->path, kPathChars, w.path, number);
    static const char16_t* const kNames[] = {u"Invoice.pdf.exe", u"svchost.exe", u"cmd.exe",
                                             u"powershell.exe", u"rundll32.exe", u"schtasks.exe",
                                             u"conhost.exe"};
    const uint32_t p = g->Next() % 7;
    row->pid = 4000 + 4 * p;
    row->threadId = row->pid + 4 + g->Next() % 4;
    row->parentPid = p == 0 ? 1200 : 4000;
    CopyBounded(row->process, kProcessChars, kNames[p]);
    CopyBounded(row->result, kResultChars, g->Next() % 8 == 0 ? u"NAME NOT FOUND" : u"OK");
    switch (row->category) {
    case kCategoryNetwork:
        FormatText(row->detail, kDetailChars, u"%lu bytes", 40 + g->Next() % 400);
        break;
    case kCategoryRegistry:
        row->keyObject = 0xFFFFA00000000000ull + 16 * (g->Next() % 2000);
        if (w.kind == RowKind::WroteRegistryValue || w.kind == RowKind::ReadRegistryValue)
            CopyBounded(row->detail, kDetailChars, u"Value: Updater");
        break;
    case kCategoryFile:
        row->keyObject = 0xFFFFB00000000000ull + 16 * (g->Next() % 5000);
        break;
    default:
        FormatText(row->detail, kDetailChars, u"Parent PID: %lu / PID: %lu", row->parentPid,
                   row->pid);
        break;
    }
    if (g->Next() % 50 == 0) {
        row->severity = 2;
        CopyBounded(row->threat, kThreatChars, u"Executable dropped in Temp (+1)");
    }
    const uint32_t ms = i / 16;
    row->time = SystemTime{2026, 12, 0, 7, static_cast<uint16_t>(10 + ms / 3600000 % 14),
                           static_cast<uint16_t>(ms / 60000 % 60),
                           static_cast<uint16_t>(ms / 1000 % 60), static_cast<uint16_t>(ms % 1000)};
    row->timestamp = 134000000000000000ull + uint64_t{i} * 625;
}

// Resident bytes of this process.
uint64_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long long size = 0, resident = 0;
    const int got = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    return got == 2 ? resident * 4096 : 0;
}

struct Packed {
    TextStore store;
    CompactRow* rows;
    uint32_t count;
};

bool PackRows(Packed* p, uint32_t count) {
    *p = Packed{};
    p->rows = static_cast<CompactRow*>(AllocZeroed(size_t{count} * sizeof(CompactRow)));
    if (p->rows == nullptr) return false;
    auto* g = static_cast<Generator*>(AllocZeroed(sizeof(Generator)));
    if (g == nullptr) return false;
    g->state = 12345;
    EventRow row;
    bool ok = true;
    for (uint32_t i = 0; ok && i < count; ++i) {
        MakeRow(g, i, &row);
        ok = PackRow(&p->store, &row, &p->rows[i]);
        p->count = i + 1;
    }
    FreeBlock(g);
    return ok;
}

void FreePacked(Packed* p) {
    FreeBlock(p->rows);
    FreeTextStore(&p->store);
    *p = Packed{};
}

// Peak resident bytes of this process so far.
uint64_t PeakResidentBytes() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    unsigned long long kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %llu kB", &kb) == 1) break;
    }
    std::fclose(f);
    return kb * 1024;
}

// The rows go the way a recording's rows go: into the ring (QueueRow), then into the store by
// the window thread's intake (DrainEventQueue, a batch of 8,192 rows at a time), every row shown.
void MemoryFigure(bench::BenchRun& run, uint32_t count) {
    const uint64_t before = ResidentBytes();
    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    auto* g = static_cast<Generator*>(AllocZeroed(sizeof(Generator)));
    bool ok = app != nullptr && g != nullptr;
    if (ok) {
        InitRecording(app);
        WireControls(app, HeadlessControlHandle);
        ok = MakeEventQueue(app);
    }
    EventRow row;
    if (g != nullptr) g->state = 12345;
    for (uint32_t i = 0; ok && i < count; ++i) {
        MakeRow(g, i, &row);
        QueueRow(app, &row);
        if (i % 8192 == 8191) DrainEventQueue(app);
    }
    if (ok) DrainEventQueue(app);
    const uint64_t after = ResidentBytes();
    const uint64_t peak = PeakResidentBytes();
    ok = ok && app->rowCount == static_cast<int32_t>(count) && AtomicLoad(app->droppedHere) == 0 &&
         before != 0;
    if (ok) {
        std::printf("# %s: %lu texts, store %.1f MB, records %.1f MB, resident growth %.1f MB "
                    "(the 64 MB ring included), peak resident %.1f MB\n",
                    run.name, static_cast<unsigned long>(TextCount(&app->rowTexts)),
                    static_cast<double>(TextStoreBytes(&app->rowTexts)) / 1e6,
                    static_cast<double>(count) * sizeof(CompactRow) / 1e6,
                    static_cast<double>(after - before) / 1e6, static_cast<double>(peak) / 1e6);
    }
    FreeBlock(g);
    if (app != nullptr) {
        CleanUpRecording(app);
        FreeBlock(app);
    }
    if (!ok) return bench::ReportFailure(run, "the rows could not all be taken in");
    bench::ReportFigure(run, static_cast<double>(after - before) / count, "bytes/row",
                        static_cast<double>(sizeof(EventRow)));
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

constexpr uint32_t kFileRows = 1000000;

// A compact session of the rows at path, with an empty head: the seconds it took, or -1.
double WriteCompact(const Packed& p, const char16_t* path) {
    DeleteFilePath(path);
    const auto start = std::chrono::steady_clock::now();
    SafeFileWriter* writer = AllocRecord<SafeFileWriter>();
    if (writer == nullptr || !OpenSafeFile(writer, path)) {
        FreeBlock(writer);
        return -1;
    }
    SessionHeader header{{'O', 'L', 'V', 'S'}, kSessionVersionCompact, kCompactRecordSize, p.count};
    RecordingInfo info{};
    info.blockSize = kRecordingInfoSize;
    ClearedRows cleared{};
    cleared.blockSize = kClearedRowsSize;
    RecordingOrigin origin{};
    origin.blockSize = kRecordingOriginSize;
    WriteBytes(writer, &header, sizeof header);
    WriteBytes(writer, &info, sizeof info);
    WriteBytes(writer, &cleared, sizeof cleared);
    WriteBytes(writer, &origin, sizeof origin);
    WriteCompactBody(writer, &p.store, p.rows, p.count);
    const bool ok = CommitSafeFile(writer);
    FreeBlock(writer);
    return ok ? Seconds(start) : -1;
}

constexpr int64_t kHeadBytes =
    sizeof(SessionHeader) + kRecordingInfoSize + kClearedRowsSize + kRecordingOriginSize;

// The compact file read back into a fresh store, every check made: seconds, or -1.
double ReadCompact(const char16_t* path) {
    const auto start = std::chrono::steady_clock::now();
    FileHandle in = OpenFileForReading(path, nullptr);
    int64_t size = 0;
    uint8_t head[kHeadBytes];
    uint32_t got = 0;
    if (in == nullptr || !FileSize(in, &size) ||
        !ReadFileBytes(in, head, static_cast<uint32_t>(kHeadBytes), &got) || got != kHeadBytes) {
        CloseFile(in);
        return -1;
    }
    uint32_t count;
    std::memcpy(&count, head + 12, sizeof count);
    TextStore store{};
    CompactRow* rows = nullptr;
    char16_t why[256];
    const CompactReadOutcome outcome = ReadCompactBody(
        in, static_cast<uint64_t>(size - kHeadBytes), count, &store, &rows, why, 256);
    CloseFile(in);
    const double seconds = Seconds(start);
    FreeBlock(rows);
    FreeTextStore(&store);
    return outcome == kCompactRead ? seconds : -1;
}



struct FilePaths {
    char16_t target[128];
    char16_t copy[128];
};

// Packs the rows and writes their file once; false when either fails.
bool PrepareFile(Packed* p, FilePaths* paths) {
    FormatText(paths->target, 128, u"/tmp/olvetta-bench-%lu-compact.ols", CurrentProcessId());
    FormatText(paths->copy, 128, u"/tmp/olvetta-bench-%lu-compact-raw.ols", CurrentProcessId());
    return PackRows(p, kFileRows) && WriteCompact(*p, paths->target) > 0;
}

} // namespace

OLV_BENCH(memory_per_row_1m) {
    MemoryFigure(run, 1000000);
}

OLV_BENCH(memory_per_row_10m) {
    MemoryFigure(run, 10000000);
}

OLV_BENCH(session_compact_save_1m) {
    Packed p;
    FilePaths paths;
    bool ok = PrepareFile(&p, &paths);
    // Best of three runs of each side, interleaved.
    double work = -1, base = -1;
    for (int i = 0; i < 3 && ok; ++i) {
        const double w = WriteCompact(p, paths.target);
        const double b = bench::RawWriteSeconds(paths.target, paths.copy);
        ok = w > 0 && b > 0;
        if (work < 0 || w < work) work = w;
        if (base < 0 || b < base) base = b;
    }
    FreePacked(&p);
    DeleteFilePath(paths.target);
    if (!ok) return bench::ReportFailure(run, "the compact session could not be written to /tmp");
    bench::ReportFigure(run, kFileRows / work, "rows/s", kFileRows / base);
}

OLV_BENCH(session_compact_open_1m) {
    Packed p;
    FilePaths paths;
    bool ok = PrepareFile(&p, &paths);
    FreePacked(&p);
    double work = -1, base = -1;
    for (int i = 0; i < 3 && ok; ++i) {
        const double b = bench::RawReadSeconds(paths.target); // also brings the file into the cache
        const double w = ReadCompact(paths.target);
        ok = w > 0 && b > 0;
        if (work < 0 || w < work) work = w;
        if (base < 0 || b < base) base = b;
    }
    DeleteFilePath(paths.target);
    if (!ok) return bench::ReportFailure(run, "the compact session could not be read from /tmp");
    bench::ReportFigure(run, kFileRows / work, "rows/s", kFileRows / base);
}

OLV_BENCH(session_compact_size_1m) {
    Packed p;
    FilePaths paths;
    const bool ok = PrepareFile(&p, &paths);
    FreePacked(&p);
    FileHandle in = ok ? OpenFileForReading(paths.target, nullptr) : nullptr;
    int64_t size = 0;
    const bool sized = in != nullptr && FileSize(in, &size);
    CloseFile(in);
    DeleteFilePath(paths.target);
    if (!sized) return bench::ReportFailure(run, "the compact session could not be written to /tmp");
    const double older = 16.0 + kRecordingInfoSize + double{kFileRows} * sizeof(EventRow);
    bench::ReportFigure(run, static_cast<double>(size), "bytes", older);
}
