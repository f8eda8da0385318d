// The facts of a recording's rows on the stand-ins: asked as rows are stored, written into the
// rows as they come, each loss counted in the notes; the deadline, a deleted image and a stop
// with rows still waiting.
#include "views/row_facts_flow.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/sim_facts.h"
#include "platform/time.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "support/exporting_dll.h"
#include "views/row_store.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

constexpr int64_t kArrived = 134'000'000'000'000'000;

struct Fixture : HeadlessRecordingInFolder {
    Fixture() : HeadlessRecordingInFolder("olv_row_facts_") {}
    ~Fixture() {
        // The stand-ins' tables are locked: a worker that reads them until the recording is
        // cleaned up finds them empty.
        ClearSimulatedProcessTokens();
        ClearSimulatedProcessDirectories();
        ClearSimulatedFileTrust();
        ClearSimulatedRegistry();
    }
    std::u16string File(const char* name, const char* bytes) {
        return Write(name, bytes).u16string();
    }
    int32_t Add(RowKind kind, uint32_t pid, uint32_t parent, const std::u16string& path,
                const char16_t* detail = u"") {
        EventRow row{};
        row.category = RowKindCategory(kind);
        row.pid = pid;
        row.parentPid = parent;
        row.timestamp = static_cast<uint64_t>(kArrived);
        CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
        CopyBounded(row.path, kPathChars, path.c_str());
        CopyBounded(row.detail, kDetailChars, detail);
        CopyBounded(row.process, kProcessChars, u"sample.exe");
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    std::string Fact(int32_t row, RowFact fact) {
        bool known = false;
        const TextView view = StoredFactText(app, row, fact, &known);
        if (!known) return "?";
        std::u16string text(view.length, u'\0');
        CopyTextUnits(view, text.data());
        std::string out;
        for (char16_t c : text) out += static_cast<char>(c < 0x80 ? c : '?');
        return out;
    }
    std::string Notes() {
        char16_t out[2048] = {};
        int32_t lines = 0;
        AppendRowFactsNotes(app, u"", out, 2048, &lines);
        std::string text;
        for (const char16_t* c = out; *c != 0; ++c) text += static_cast<char>(*c);
        return text;
    }
};

void Done(Recording*, int32_t index, void* context) {
    static_cast<std::set<int32_t>*>(context)->insert(index);
}

// Polls (the answers' own time) until every row in rows was handed out: bounded, 20 seconds.
void PollUntilDone(Recording* app, const std::set<int32_t>& rows, std::set<int32_t>* done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (*done != rows && std::chrono::steady_clock::now() < until) {
        PollRowFacts(app, kArrived, Done, done);
        std::this_thread::yield();
    }
    REQUIRE_MESSAGE(*done == rows, "waited 20 s for the facts of every row");
}

ProcessTokenFacts Token(const char16_t* user, uint32_t rid, uint64_t logonId) {
    ProcessTokenFacts t{};
    t.status = kTokenRead;
    t.userKnown = true;
    CopyBounded(t.user, kTokenUserChars, user);
    t.integrityKnown = true;
    t.integrityRid = rid;
    t.logonIdKnown = true;
    t.logonId = logonId;
    return t;
}

} // namespace

TEST_CASE("Process starts, image loads and value writes get their facts; a deleted image none") {
    Fixture f;
    const std::u16string image = f.File("prog.exe", "abc");
    SetSimulatedProcessToken(4001, Token(u"VM\\analyst", 0x3000, 0x3e7));
    SetSimulatedProcessToken(3000, Token(u"VM\\parent", 0x2000, 0x10));
    SetSimulatedProcessDirectory(4001, u"C:\\Users\\analyst\\Work\\");
    SetSimulatedProcessDirectory(3000, u"C:\\Parent\\"); // a parent's folder is not asked for
    FileTrust trust{};
    trust.status = kFileTrustChecked;
    trust.trustResult = kTrustOk;
    trust.signerKnown = true;
    CopyBounded(trust.signer, kTrustSignerChars, u"Test Signer");
    SetSimulatedFileTrust(image.c_str(), trust);
    const uint32_t one = 1;
    SetSimulatedRegistryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"Run", kRegDword, &one, 4);
    SetSimulatedRegistryKeyTime(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", kArrived - 1);

    const int32_t start = f.Add(RowKind::StartedChildProcess, 4001, 3000, u"\"" + image + u"\" /a");
    const int32_t load = f.Add(RowKind::LoadedDll, 4001, 3000, image);
    const int32_t write = f.Add(RowKind::WroteRegistryValue, 4001, 3000,
                                u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"Value: Run");
    const int32_t gone = f.Add(RowKind::LoadedDll, 4001, 3000, (f.dir / "gone.dll").u16string());
    const int32_t read = f.Add(RowKind::ReadFile, 4001, 3000, image);
    // Stored before the worker ran: asked here, as they arrived.
    REQUIRE(StartRowFacts(f.app, nullptr));
    // image, signature, token, folder, parent's token
    CHECK(RequestRowFacts(f.app, start, kArrived) == 5);
    CHECK(RequestRowFacts(f.app, load, kArrived) == 2);
    CHECK(RequestRowFacts(f.app, write, kArrived) == 1);
    CHECK(RequestRowFacts(f.app, gone, kArrived) == 2);
    CHECK(RequestRowFacts(f.app, read, kArrived) == 0);
    CHECK(RowWaitsForFacts(f.app, start));
    CHECK_FALSE(RowWaitsForFacts(f.app, read));

    std::set<int32_t> done;
    PollUntilDone(f.app, {start, load, write, gone}, &done);
    CHECK_FALSE(RowWaitsForFacts(f.app, start));
    CHECK(f.Fact(start, kFactUser) == "VM\\analyst");
    CHECK(f.Fact(start, kFactParentUser) == "VM\\parent");
    CHECK(f.Fact(start, kFactIntegrityLevel) == "High");
    CHECK(f.Fact(start, kFactLogonId) == "0x3e7");
    CHECK(f.Fact(start, kFactCurrentDirectory) == "C:\\Users\\analyst\\Work\\");
    CHECK(f.Fact(load, kFactCurrentDirectory) == "?"); // not an image load's fact
    CHECK(f.Fact(start, kFactSigned) == "true");
    CHECK(f.Fact(start, kFactSignatureStatus) == "Valid");
    CHECK(f.Fact(start, kFactSignature) == "Test Signer");
#if OLV_HAVE_LIBYARA // a build without the file reader knows no digests
    CHECK(f.Fact(start, kFactMd5) == "900150983CD24FB0D6963F7D28E17F72");
    CHECK(f.Fact(start, kFactHashes) ==
          "SHA1=A9993E364706816ABA3E25717850C26C9CD0D89D,MD5=900150983CD24FB0D6963F7D28E17F72,"
          "SHA256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
#endif
    CHECK(f.Fact(start, kFactOriginalFileName) == "?"); // not a program: no version texts
    CHECK(f.Fact(start, kFactImphash) == "?");
#if OLV_HAVE_LIBYARA
    CHECK(f.Fact(load, kFactSha1) == "A9993E364706816ABA3E25717850C26C9CD0D89D");
#endif
    CHECK(f.Fact(load, kFactSigned) == "true");
    CHECK(f.Fact(load, kFactUser) == "?");
    CHECK(f.Fact(write, kFactDetails) == "DWORD (0x00000001)");
    // The deleted file: nothing known, and said.
    CHECK(StoredFacts(f.app, gone).known == 0);
    const FactsCounts counts = RowFactsCounts(f.app);
    CHECK(counts.imagesUnreadable == 1);
    CHECK(counts.trustUnreadable == 1);
    CHECK(counts.late == 0);
    const std::string notes = f.Notes();
    CHECK(notes.find("1 images could not be read: deleted or locked") != std::string::npos);
    CHECK(notes.find("1 signatures could not be checked") != std::string::npos);
}

TEST_CASE("Facts not read by the deadline stay unknown and are counted; a stop hands out the rest") {
    Fixture f;
    static std::atomic<int> held{0};
    static std::atomic<bool> release{false};
    held = 0;
    release = false;
    FactsWorkerConfig config{};
    config.beforeRead = [](void*, uint64_t) {
        held.fetch_add(1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!release.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    };
    SetSimulatedProcessToken(4001, Token(u"VM\\analyst", 0x3000, 0x3e7));
    const int32_t start = f.Add(RowKind::StartedChildProcess, 4001, 0, u"C:\\x.exe");
    REQUIRE(StartRowFacts(f.app, &config));
    REQUIRE(RequestRowFacts(f.app, start, kArrived) == 4); // no parent: no parent's token
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (held.load() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    REQUIRE_MESSAGE(held.load() > 0, "waited 20 s for the worker to take the first read");

    std::set<int32_t> done;
    CHECK(PollRowFacts(f.app, kArrived + kFactsDeadlineTicks - 1, Done, &done) == 0);
    CHECK(PollRowFacts(f.app, kArrived + kFactsDeadlineTicks + 1, Done, &done) == 1);
    CHECK(done == std::set<int32_t>{start});
    CHECK(StoredFacts(f.app, start).known == 0);
    CHECK(RowFactsCounts(f.app).late == 4);
    CHECK(f.Notes().find("4 facts not read in time") != std::string::npos);

    // A row still waiting when the recording stops is handed out, its facts unknown.
    const int32_t later = f.Add(RowKind::StartedChildProcess, 4001, 0, u"C:\\x.exe");
    CHECK(RowWaitsForFacts(f.app, later)); // asked as it was stored
    release = true;
    done.clear();
    StopRowFacts(f.app, 5000, Done, &done);
    CHECK(done == std::set<int32_t>{later});
    CHECK(RequestRowFacts(f.app, later, kArrived) == 0); // stopped: nothing more is asked
    CHECK(f.Notes().find("dropped when the recording stopped") != std::string::npos);
}

#include "sigma/sigma.h"
#include "views/sigma_rows.h"

namespace {

void MatchWhenDone(Recording* app, int32_t index, void* context) {
    static_cast<std::set<int32_t>*>(context)->insert(index);
    MatchRowWithFacts(app, index);
}

const char kRule[] = R"(title: Run key value outside the program folders
id: 33333333-0000-0000-0000-000000000001
level: high
logsource: {product: windows, category: registry_set}
detection:
    selection:
        TargetObject|endswith: '\Test\Run'
    filter:
        Details|startswith: 'C:\Program Files\'
    condition: selection and not filter
)";

const char kWriteRule[] = R"(title: Any file created
id: 33333333-0000-0000-0000-000000000002
level: low
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|endswith: '.txt'
    condition: selection
)";

int32_t RulesOfRow(Recording* app, int32_t row) {
    int32_t rules[4];
    return SigmaRulesOfRow(app, row, rules, 4);
}

} // namespace

TEST_CASE("A row waiting for its facts is matched when they come; rows after it do not wait") {
    Fixture f;
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(AddSigmaRuleText(set, kRule, sizeof kRule - 1, u"run.yml"));
    REQUIRE(AddSigmaRuleText(set, kWriteRule, sizeof kWriteRule - 1, u"file.yml"));
    REQUIRE(InstallSigmaRules(f.app, set));
    FactsWorkerConfig config{};
    static std::atomic<bool> release{false};
    release = false;
    config.beforeRead = [](void*, uint64_t) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!release.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    };
    REQUIRE(StartRowFacts(f.app, &config));
    const char16_t* data = u"C:\\Users\\a\\x.exe";
    SetSimulatedRegistryValue(u"HKLM\\SOFTWARE\\Test", u"Run", kRegSz, data,
                              static_cast<uint32_t>((TextLength(data) + 1) * 2));
    SetSimulatedRegistryKeyTime(u"HKLM\\SOFTWARE\\Test", 1);
    SetSimulatedRegistryValue(u"HKLM\\SOFTWARE\\Other", u"Run", kRegSz, data,
                              static_cast<uint32_t>((TextLength(data) + 1) * 2));

    // Stored rows ask for their facts themselves (the recording's worker runs).
    const int32_t write = f.Add(RowKind::WroteRegistryValue, 4001, 0,
                                u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"Value: Run");
    const int32_t file = f.Add(RowKind::CreatedNewFile, 4001, 0, u"C:\\a.txt");
    CHECK(RowWaitsForFacts(f.app, write));
    CHECK(RulesOfRow(f.app, write) == 0); // held: its Details are not read yet
    CHECK(RulesOfRow(f.app, file) == 1);  // a later row without facts is not held

    release = true;
    std::set<int32_t> done;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (done.count(write) == 0 && std::chrono::steady_clock::now() < until) {
        PollRowFacts(f.app, kArrived, MatchWhenDone, &done);
        std::this_thread::yield();
    }
    REQUIRE_MESSAGE(done.count(write) == 1, "waited 20 s for the value's data");
    CHECK(f.Fact(write, kFactDetails) == "C:\\Users\\a\\x.exe");
    CHECK(RulesOfRow(f.app, write) == 1);
    CHECK(StoredSeverity(f.app, write) == 3);

    // Facts that came too late: the filter is undecided, the rule possible, not a match.
    release = false;
    const int32_t late = f.Add(RowKind::WroteRegistryValue, 4001, 0,
                               u"\\REGISTRY\\MACHINE\\SOFTWARE\\Other\\Test", u"Value: Run");
    CHECK(RowWaitsForFacts(f.app, late));
    done.clear();
    PollRowFacts(f.app, NowTicks() + kFactsDeadlineTicks + 1, MatchWhenDone, &done);
    CHECK(done == std::set<int32_t>{late});
    CHECK(RulesOfRow(f.app, late) == 0);
    SigmaPossibleMatch possible[2];
    CHECK(SigmaPossibleRulesOfRow(f.app, late, possible, 2) == 1);
    release = true;
    StopRowFacts(f.app, 5000, nullptr, nullptr);
}

TEST_CASE("A stream is read once its close comes: digests, and the text of a short text stream") {
    Fixture f;
    REQUIRE(StartRowFacts(f.app, nullptr));
    // The streams are files of their own here: the flow reads whatever the row's path names, and
    // not every file system the suite runs on keeps streams.
    const std::u16string zone = f.File("setup.exe-Zone.Identifier", "[ZoneTransfer]\r\n");
    const std::u16string binary = f.File("notes.txt-blob", "MZ\x90");
    const std::u16string gone = (f.dir / "gone.txt-s").u16string();
    const int32_t zoneRow = f.Add(RowKind::WroteAlternateDataStream, 4001, 0, zone);
    const int32_t binaryRow = f.Add(RowKind::WroteAlternateDataStream, 4001, 0, binary);
    const int32_t goneRow = f.Add(RowKind::WroteAlternateDataStream, 4001, 0, gone);
    // The stream is written on after its row: what is read is what it holds at its close.
    std::ofstream(f.dir / "setup.exe-Zone.Identifier", std::ios::binary | std::ios::app)
        << "ZoneId=3\r\n";
    // Neither a close by another process nor another file's close is this stream's.
    f.Add(RowKind::ClosedFile, 999, 0, zone);
    f.Add(RowKind::ClosedFile, 4001, 0, binary + u"x");
    std::set<int32_t> done;
    PollRowFacts(f.app, kArrived, Done, &done);
    CHECK(done.empty());
    CHECK(RowWaitsForFacts(f.app, zoneRow));
    CHECK(RowFactsCounts(f.app).requested == 0);

    for (const std::u16string& path : {zone, binary, gone})
        f.Add(RowKind::ClosedFile, 4001, 0, path);
    PollUntilDone(f.app, {zoneRow, binaryRow, goneRow}, &done);
    CHECK(f.Fact(zoneRow, kFactContents) == "[ZoneTransfer]\r\nZoneId=3\r\n");
    CHECK(f.Fact(binaryRow, kFactContents) == "?");
#if OLV_HAVE_LIBYARA
    CHECK(f.Fact(zoneRow, kFactHash).rfind("SHA1=", 0) == 0);
    CHECK(f.Fact(binaryRow, kFactHash).find(",MD5=") != std::string::npos);
#endif
    CHECK(StoredFacts(f.app, goneRow).known == 0);
    CHECK(RowFactsCounts(f.app).streamsUnreadable == 1);
    CHECK(f.Notes().find("1 alternate data streams could not be read") != std::string::npos);
}

TEST_CASE("A stream whose close does not come is read after the facts deadline, or at the stop") {
    Fixture f;
    REQUIRE(StartRowFacts(f.app, nullptr));
    const std::u16string late = f.File("a.txt-late", "late text");
    const std::u16string open = f.File("b.txt-open", "open text");
    const int32_t lateRow = f.Add(RowKind::WroteAlternateDataStream, 4001, 0, late);
    std::set<int32_t> done;
    // Polled as at the deadline after its arrival: asked for as it is.
    const int64_t after = NowTicks() + kFactsDeadlineTicks + 1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (done.count(lateRow) == 0 && std::chrono::steady_clock::now() < until) {
        PollRowFacts(f.app, after, Done, &done);
        std::this_thread::yield();
    }
    REQUIRE_MESSAGE(done.count(lateRow) == 1, "waited 20 s for the stream read at the deadline");
    CHECK(f.Fact(lateRow, kFactContents) == "late text");
    // Still open when the recording stops: handed out, its loss counted if the read was dropped.
    const int32_t openRow = f.Add(RowKind::WroteAlternateDataStream, 4001, 0, open);
    CHECK(RowWaitsForFacts(f.app, openRow));
    StopRowFacts(f.app, 2000, Done, &done);
    CHECK(done.count(openRow) == 1);
    const FactsCounts counts = RowFactsCounts(f.app);
    CHECK(counts.requested == 2);
    CHECK(counts.answered + counts.droppedAtStop == 2);
}

TEST_CASE("A thread's start function from its module's exports; a module gone is counted") {
    Fixture f;
    REQUIRE(StartRowFacts(f.app, nullptr));
    const std::vector<unsigned char> dll = test::ExportingDll();
    const std::u16string module = (f.dir / "k.dll").u16string();
    // The builder's bytes hold zeros: written whole rather than as a text.
    std::ofstream(f.dir / "k.dll", std::ios::binary)
        .write(reinterpret_cast<const char*>(dll.data()), static_cast<std::streamsize>(dll.size()));
    const std::u16string gone = (f.dir / "gone.dll").u16string();
    const auto detail = [](const std::u16string& path, const char16_t* offset) {
        return u"Target PID: 880 / Thread ID: 9 / Start address: 0x7ffb10001100 in " + path +
               u" (+0x" + offset + u")";
    };
    const RowKind kind = RowKind::CreatedThreadInAnotherProcess;
    const std::u16string atExport = detail(module, u"1100");
    const std::u16string inside = detail(module, u"1101");
    const std::u16string away = detail(gone, u"1100");
    const int32_t exportRow = f.Add(kind, 4001, 0, u"C:\\Windows\\explorer.exe", atExport.c_str());
    const int32_t insideRow = f.Add(kind, 4001, 0, u"C:\\Windows\\explorer.exe", inside.c_str());
    const int32_t goneRow = f.Add(kind, 4001, 0, u"C:\\Windows\\explorer.exe", away.c_str());
    // No module known: nothing to read, and the row does not wait.
    const int32_t noModule = f.Add(kind, 4001, 0, u"C:\\Windows\\explorer.exe",
                                   u"Target PID: 880 / Thread ID: 9 / Start address: 0x1d0000 "
                                   u"(no known module)");
    CHECK_FALSE(RowWaitsForFacts(f.app, noModule));
    std::set<int32_t> done;
    PollUntilDone(f.app, {exportRow, insideRow, goneRow}, &done);
#if OLV_HAVE_LIBYARA
    CHECK(f.Fact(exportRow, kFactStartFunction) == "LoadLibraryW");
    CHECK(f.Fact(insideRow, kFactStartFunction) == ""); // read: no export starts there
#else
    CHECK(f.Fact(exportRow, kFactStartFunction) == "?"); // never guessed
#endif
    CHECK(f.Fact(goneRow, kFactStartFunction) == "?");
    CHECK(RowFactsCounts(f.app).exportsUnreadable == 1);
    CHECK(f.Notes().find("1 threads' start modules could not be read") != std::string::npos);
}
