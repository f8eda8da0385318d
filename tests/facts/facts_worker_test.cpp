#include "doctest.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "facts/facts_worker.h"
#include "platform/memory.h"
#include "platform/sim/sim_facts.h"
#include "platform/thread.h"

using namespace olv;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kArrived = 130000000000000000LL; // any time: the tests pass "now" themselves
constexpr int64_t kSecond = 10000000;

// Holds the worker in its next read until opened; tells which ticket it holds.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    std::vector<uint64_t> entered;

    static void Hook(void* context, uint64_t ticket) {
        auto* g = static_cast<Gate*>(context);
        std::unique_lock<std::mutex> lock(g->mutex);
        g->entered.push_back(ticket);
        g->changed.notify_all();
        // Bounded so that a failed test cannot hold the suite: the watchdog names the case.
        g->changed.wait_for(lock, std::chrono::seconds(30), [g] { return !g->held; });
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(mutex);
        held = true;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        held = false;
        changed.notify_all();
    }
    // Waits until the worker is in the read of ticket.
    void WaitEntered(uint64_t ticket) {
        std::unique_lock<std::mutex> lock(mutex);
        const bool in = changed.wait_for(lock, std::chrono::seconds(20), [&] {
            for (uint64_t t : entered)
                if (t == ticket) return true;
            return false;
        });
        if (!in) FAIL("waited 20 s for the worker to start the read of ticket " << ticket);
    }
};

struct Answered {
    FactsOutcome outcome;
    FactsKind kind;
    FactsResult result; // copied: the pointer is valid during the callback only
    bool hasResult;
};

struct Answers {
    std::map<uint64_t, Answered> byTicket;
    uint64_t duplicates = 0;
    static void Take(void* context, const FactsAnswer& a) {
        auto* self = static_cast<Answers*>(context);
        if (self->byTicket.count(a.ticket)) ++self->duplicates;
        Answered& to = self->byTicket[a.ticket];
        to.outcome = a.outcome;
        to.kind = a.kind;
        to.hasResult = a.result != nullptr;
        if (a.result) std::memcpy(&to.result, a.result, sizeof to.result);
    }
};

// Polls (at the rows' arrival time, so nothing is late) until count answers are in.
void PollUntil(FactsWorker* w, Answers* answers, size_t count, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answers->byTicket.size() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            FAIL("waited 20 s for " << what << " (" << answers->byTicket.size() << " of " << count
                                    << " answered)");
        if (PollFacts(w, kArrived, Answers::Take, answers, 1000) == 0) std::this_thread::yield();
    }
}

[[maybe_unused]] void WaitUntil(const char* what, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) FAIL("waited 20 s for " << what);
        std::this_thread::yield();
    }
}

struct Scratch {
    fs::path dir = fs::temp_directory_path() /
                   ("olv_facts_worker_" + std::to_string(fs::hash_value(fs::current_path())));
    Scratch() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::u16string Write(const char* name, const std::string& bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).u16string();
    }
};

FactsCounts Counts(FactsWorker* w) {
    FactsCounts c{};
    ReadFactsCounts(w, &c);
    return c;
}

std::u16string Text(const char16_t* text) {
    return text;
}

} // namespace

TEST_CASE("Each kind of fact reaches its ticket; what cannot be read stays unknown and counted") {
    Scratch scratch;
    const std::u16string abc = scratch.Write("abc.txt", "abc");
    const std::u16string gone = (scratch.dir / "deleted.exe").u16string();
    FileTrust trust{};
    trust.status = kFileTrustChecked;
    trust.trustResult = kTrustOk;
    trust.signerKnown = true;
    std::memcpy(trust.signer, u"Test Signer", sizeof u"Test Signer");
    SetSimulatedFileTrust(abc.c_str(), trust);
    ProcessTokenFacts token{};
    token.status = kTokenRead;
    token.userKnown = true;
    std::memcpy(token.user, u"LAB\\analyst", sizeof u"LAB\\analyst");
    SetSimulatedProcessToken(4242, token);
    const uint8_t ten[4] = {10, 0, 0, 0};
    SetSimulatedRegistryValue(u"HKLM\\Software\\W", u"Run", kRegDword, ten, 4);
    SetSimulatedRegistryKeyTime(u"HKLM\\Software\\W", kArrived - kSecond);

    FactsWorker* w = StartFactsWorker(nullptr);
    REQUIRE(w);
    REQUIRE(RequestImageFacts(w, 1, kArrived, abc.c_str()));
    REQUIRE(RequestFileTrust(w, 2, kArrived, abc.c_str()));
    REQUIRE(RequestTokenFacts(w, 3, kArrived, 4242));
    REQUIRE(RequestRegistryDetails(w, 4, kArrived, u"\\REGISTRY\\MACHINE\\Software\\W", u"run",
                                   kArrived - kSecond));
    REQUIRE(RequestImageFacts(w, 5, kArrived, gone.c_str()));
    REQUIRE(RequestFileTrust(w, 6, kArrived, gone.c_str()));
    REQUIRE(RequestTokenFacts(w, 7, kArrived, 4243)); // ended before it was read
    Answers answers;
    PollUntil(w, &answers, 7, "the seven reads");
    auto& a = answers.byTicket;
    CHECK(answers.duplicates == 0);

    CHECK(a[1].kind == kFactsImage);
#if OLV_HAVE_LIBYARA
    REQUIRE(a[1].outcome == kFactsRead);
    CHECK(std::string(a[1].result.image.md5) == "900150983CD24FB0D6963F7D28E17F72");
#else
    CHECK(a[1].outcome == kFactsUnreadable); // a build without a reader: failed, not "deleted"
    CHECK(Counts(w).imagesFailed == 1);
#endif
    REQUIRE(a[2].outcome == kFactsRead);
    CHECK(Text(a[2].result.trust.signer) == u"Test Signer");
    REQUIRE(a[3].outcome == kFactsRead);
    CHECK(Text(a[3].result.token.user) == u"LAB\\analyst");
    REQUIRE(a[4].outcome == kFactsRead);
    CHECK(a[4].result.detailsOutcome == kDetailsWhole);
    CHECK(Text(a[4].result.details) == u"DWORD (0x0000000a)");
    for (uint64_t t : {5, 6, 7}) {
        CHECK(a[t].outcome == kFactsUnreadable);
        CHECK(a[t].hasResult); // with the reason in its record
    }
    CHECK_FALSE(a[5].result.image.digestsKnown);

    const FactsCounts c = Counts(w);
    CHECK(c.requested == 7);
    CHECK(c.answered == 7);
    CHECK(c.imagesUnreadable == 1);
    CHECK(c.trustUnreadable == 1);
    CHECK(c.tokensGone == 1);
    CHECK(c.late == 0);
    CHECK(PendingFacts(w) == 0);
    CHECK(StopFactsWorker(w, 20000));
    ReleaseFactsWorker(w);
    ClearSimulatedFileTrust();
    ClearSimulatedProcessTokens();
    ClearSimulatedRegistry();
    CHECK(LiveAllocationCount() == 0);
}

TEST_CASE("A registry value written again after the event, or gone, is unknown and counted") {
    const uint8_t one[4] = {1, 0, 0, 0};
    SetSimulatedRegistryValue(u"HKCU\\K", u"Same", kRegDword, one, 4);
    SetSimulatedRegistryValue(u"HKCU\\Later", u"V", kRegDword, one, 4);
    SetSimulatedRegistryKey(u"HKCU\\Denied", true);
    SetSimulatedRegistryKeyTime(u"HKCU\\K", 1000);
    SetSimulatedRegistryKeyTime(u"HKCU\\Later", 1001);
    SetSimulatedRegistryValue(u"HKCU\\NoTime", nullptr, kRegSz, u"x", 4);

    FactsWorker* w = StartFactsWorker(nullptr);
    REQUIRE(w);
    REQUIRE(RequestRegistryDetails(w, 1, kArrived, u"HKCU\\K", u"Same", 1000)); // same instant
    REQUIRE(RequestRegistryDetails(w, 2, kArrived, u"HKCU\\Later", u"V", 1000));
    REQUIRE(RequestRegistryDetails(w, 3, kArrived, u"HKCU\\K", u"Removed", 1000));
    REQUIRE(RequestRegistryDetails(w, 4, kArrived, u"HKCU\\NoSuchKey", u"V", 1000));
    REQUIRE(RequestRegistryDetails(w, 5, kArrived, u"HKCU\\Denied", nullptr, 1000));
    REQUIRE(RequestRegistryDetails(w, 6, kArrived, u"HKCU\\NoTime", nullptr, 1000));
    Answers answers;
    PollUntil(w, &answers, 6, "six registry reads");
    auto& a = answers.byTicket;
    CHECK(a[1].outcome == kFactsRead);
    CHECK(Text(a[1].result.details) == u"DWORD (0x00000001)");
    for (uint64_t t : {2, 3, 4}) {
        CHECK(a[t].outcome == kFactsChanged);
        CHECK(a[t].result.detailsOutcome == kDetailsUnknown);
        CHECK(a[t].result.details[0] == 0);
    }
    CHECK(a[5].outcome == kFactsUnreadable);
    CHECK(a[6].outcome == kFactsUnreadable); // no last-write time: cannot tell it is the same
    const FactsCounts c = Counts(w);
    CHECK(c.registryChanged == 3);
    CHECK(c.registryUnreadable == 2);
    ReleaseFactsWorker(w);
    ClearSimulatedRegistry();
}

TEST_CASE("Facts not read two seconds after the row arrived are late; the slots come back") {
    Gate gate;
    gate.Hold();
    FactsWorkerConfig config{};
    config.slots = 3;
    config.beforeRead = Gate::Hook;
    config.hookContext = &gate;
    FactsWorker* w = StartFactsWorker(&config);
    REQUIRE(w);
    REQUIRE(RequestTokenFacts(w, 1, kArrived, 1));
    gate.WaitEntered(1);
    REQUIRE(RequestTokenFacts(w, 2, kArrived + kSecond, 2)); // arrived a second later

    Answers answers;
    CHECK(PollFacts(w, kArrived + 2 * kSecond - 1, Answers::Take, &answers, 100) == 0);
    CHECK(PollFacts(w, kArrived + 2 * kSecond, Answers::Take, &answers, 100) == 1);
    REQUIRE(answers.byTicket.count(1));
    CHECK(answers.byTicket[1].outcome == kFactsLate);
    CHECK_FALSE(answers.byTicket[1].hasResult);
    CHECK(PollFacts(w, kArrived + 3 * kSecond, Answers::Take, &answers, 100) == 1);
    CHECK(answers.byTicket[2].outcome == kFactsLate);
    CHECK(PendingFacts(w) == 0);
    CHECK(Counts(w).late == 2);

    // The read in progress ends after its deadline: dropped, not handed out twice; the slot of
    // the late queued request is given back when the worker reaches it.
    REQUIRE(RequestTokenFacts(w, 3, kArrived + 3 * kSecond, 3));
    gate.Open();
    PollUntil(w, &answers, 3, "ticket 3 behind the two late ones");
    CHECK(answers.duplicates == 0);
    CHECK(answers.byTicket[3].outcome == kFactsUnreadable); // no such process
    CHECK(Counts(w).tokensGone == 1); // the late read's loss is counted as late only
    for (uint64_t t = 10; t < 13; ++t)
        CHECK(RequestTokenFacts(w, t, kArrived, 1));
    CHECK(Counts(w).refusedFull == 0);
    ReleaseFactsWorker(w);
}

TEST_CASE("A full queue refuses at once and counts; so does a path no slot holds") {
    Gate gate;
    gate.Hold();
    FactsWorkerConfig config{};
    config.slots = 4;
    config.beforeRead = Gate::Hook;
    config.hookContext = &gate;
    FactsWorker* w = StartFactsWorker(&config);
    REQUIRE(w);
    REQUIRE(RequestTokenFacts(w, 1, kArrived, 1));
    gate.WaitEntered(1);
    for (uint64_t t = 2; t <= 4; ++t)
        REQUIRE(RequestTokenFacts(w, t, kArrived, 1));
    CHECK_FALSE(RequestTokenFacts(w, 5, kArrived, 1));
    CHECK_FALSE(RequestImageFacts(w, 6, kArrived, u"C:\\any"));
    CHECK(Counts(w).refusedFull == 2);

    const std::u16string longest(kFactsPathChars - 1, u'a');
    const std::u16string key(kFactsPathChars - 3, u'k');
    CHECK_FALSE(RequestImageFacts(w, 7, kArrived, longest.c_str()));
    CHECK_FALSE(RequestRegistryDetails(w, 8, kArrived, key.c_str(), u"vv", 0));
    CHECK(Counts(w).refusedLong == 2);

    gate.Open();
    Answers answers;
    PollUntil(w, &answers, 4, "the four accepted requests");
    CHECK(answers.byTicket.count(5) == 0);
    // The longest that fit, with their terminators.
    CHECK(RequestImageFacts(w, 9, kArrived, longest.substr(1).c_str()));
    CHECK(RequestRegistryDetails(w, 10, kArrived, key.c_str(), u"v", 0));
    ReleaseFactsWorker(w);
}

TEST_CASE("Stopping drops what is pending, counted, and returns while a read still runs") {
    Gate gate;
    gate.Hold();
    FactsWorkerConfig config{};
    config.beforeRead = Gate::Hook;
    config.hookContext = &gate;
    FactsWorker* w = StartFactsWorker(&config);
    REQUIRE(w);
    REQUIRE(RequestTokenFacts(w, 1, kArrived, 1));
    gate.WaitEntered(1);
    REQUIRE(RequestTokenFacts(w, 2, kArrived, 1));
    REQUIRE(RequestTokenFacts(w, 3, kArrived, 1));
    // The read of ticket 1 is held, so the worker cannot end within the wait.
    CHECK_FALSE(StopFactsWorker(w, 50));
    CHECK(Counts(w).droppedAtStop == 3);
    CHECK_FALSE(RequestTokenFacts(w, 4, kArrived, 1));
    gate.Open();
    CHECK(StopFactsWorker(w, 20000));
    Answers answers;
    CHECK(PollFacts(w, kArrived + 10 * kSecond, Answers::Take, &answers, 100) == 0);
    const FactsCounts c = Counts(w);
    CHECK(c.droppedAtStop == 3);
    CHECK(c.tokensGone == 0);
    ReleaseFactsWorker(w);

    FactsWorker* idle = StartFactsWorker(nullptr); // nothing to wait for: ends at once
    REQUIRE(idle);
    CHECK(StopFactsWorker(idle, 20000));
    ReleaseFactsWorker(idle);
}

#if OLV_HAVE_LIBYARA
TEST_CASE("Files over the size limit are hashed in the background into the cache") {
    Scratch scratch;
    const std::u16string big = scratch.Write("big.bin", "abcdefghijklmnopqrstuvwxyz");
    const std::u16string huge = scratch.Write("huge.bin", std::string(100, 'h'));
    FactsWorkerConfig config{};
    config.imageSizeLimit = 16;
    config.backgroundSizeLimit = 64;
    FactsWorker* w = StartFactsWorker(&config);
    REQUIRE(w);
    REQUIRE(RequestImageFacts(w, 1, kArrived, big.c_str()));
    REQUIRE(RequestImageFacts(w, 2, kArrived, huge.c_str()));
    Answers answers;
    PollUntil(w, &answers, 2, "the two large files");
    CHECK(answers.byTicket[1].outcome == kFactsLarge);
    CHECK_FALSE(answers.byTicket[1].result.image.digestsKnown);
    WaitUntil("the background hashing", [&] {
        const FactsCounts c = Counts(w);
        return PendingLargeFiles(w) == 0 && c.largeHashed + c.largeNotHashed == 2;
    });
    FactsCounts c = Counts(w);
    CHECK(c.largeFiles == 2);
    CHECK(c.largeHashed == 1);
    CHECK(c.largeNotHashed == 1); // over the background limit too

    REQUIRE(RequestImageFacts(w, 3, kArrived, big.c_str()));
    REQUIRE(RequestImageFacts(w, 4, kArrived, huge.c_str()));
    PollUntil(w, &answers, 4, "the large files again");
    REQUIRE(answers.byTicket[3].outcome == kFactsRead);
    CHECK(std::string(answers.byTicket[3].result.image.md5) == "C3FCD3D76192E4007DFB496CCA67E13B");
    CHECK(answers.byTicket[4].outcome == kFactsLarge);
    c = Counts(w);
    CHECK(c.largeFiles == 2); // not queued again: already known as too large
    ReleaseFactsWorker(w);
}
#endif

TEST_CASE("Many producers and a polling window thread: each ticket answered once or refused") {
    ProcessTokenFacts token{};
    token.status = kTokenRead;
    token.integrityKnown = true;
    token.integrityRid = 0x3000;
    SetSimulatedProcessToken(7, token);
    FactsWorkerConfig config{};
    config.slots = 32;
    FactsWorker* w = StartFactsWorker(&config);
    REQUIRE(w);
    constexpr uint32_t kProducers = 4;
    constexpr uint64_t kEach = 400;
    struct Producer {
        FactsWorker* w;
        uint64_t first;
        std::vector<uint64_t> accepted;
    };
    std::vector<Producer> producers;
    for (uint32_t p = 0; p < kProducers; ++p)
        producers.push_back(Producer{w, p * kEach, {}});
    std::vector<ThreadHandle> threads;
    for (Producer& p : producers)
        threads.push_back(StartThread(
            [](void* arg) -> uint32_t {
                auto* self = static_cast<Producer*>(arg);
                for (uint64_t t = self->first; t < self->first + kEach; ++t)
                    if (RequestTokenFacts(self->w, t, kArrived, 7)) self->accepted.push_back(t);
                return 0;
            },
            &p, nullptr));
    for (ThreadHandle t : threads)
        REQUIRE(t);
    Answers answers;
    for (ThreadHandle t : threads) {
        while (!WaitThreadEnd(t, 0))
            PollFacts(w, kArrived, Answers::Take, &answers, 64);
        JoinThread(t);
    }
    std::set<uint64_t> accepted;
    for (const Producer& p : producers)
        accepted.insert(p.accepted.begin(), p.accepted.end());
    PollUntil(w, &answers, accepted.size(), "every accepted request");
    CHECK(answers.duplicates == 0);
    const FactsCounts c = Counts(w);
    CHECK(c.requested == accepted.size());
    CHECK(c.requested + c.refusedFull == kProducers * kEach);
    CHECK(c.answered == accepted.size());
    for (const auto& [ticket, answer] : answers.byTicket) {
        CHECK(accepted.count(ticket) == 1);
        CHECK(answer.outcome == kFactsRead);
        CHECK(answer.result.token.integrityRid == 0x3000);
    }
    ReleaseFactsWorker(w);
    ClearSimulatedProcessTokens();
}

TEST_CASE("A worker that cannot have its memory or threads is not started and leaks nothing") {
    const int64_t live = LiveAllocationCount();
    for (int64_t nth = 1;; ++nth) {
        RefuseNthAllocation(nth);
        FactsWorker* w = StartFactsWorker(nullptr);
        const bool reached = !AllocationRefusalPending();
        ResetAllocationFaults();
        if (!reached) { // every allocation was refused once: this start made all of them
            REQUIRE(w);
            ReleaseFactsWorker(w);
            break;
        }
        CHECK_MESSAGE(w == nullptr, "allocation " << nth << " refused");
        ReleaseFactsWorker(w);
        CHECK(LiveAllocationCount() == live);
    }
    for (int64_t nth : {1, 2}) {
        RefuseNthThreadStart(nth);
        CHECK(StartFactsWorker(nullptr) == nullptr);
        RefuseNthThreadStart(0);
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE("The notes name each loss in words, only those that happened") {
    FactsCounts c{};
    c.late = 4;
    c.imagesUnreadable = 3;
    c.largeFiles = 1;
    c.registryChanged = 2;
    c.refusedFull = 5;
    char16_t out[1024] = {};
    int32_t lines = 0;
    AppendFactsNotes(c, kDefaultImageFactsSizeLimit, u"Note: ", out, 1024, &lines);
    CHECK(lines == 5);
    CHECK(std::u16string(out) ==
          u"Note: 4 facts not read in time\r\n"
          u"Note: 3 images could not be read: deleted or locked\r\n"
          u"Note: 1 files over 256 MB hashed in the background\r\n"
          u"Note: 2 registry values changed or gone before they were read\r\n"
          u"Note: 5 fact reads refused: queue full\r\n");
}
