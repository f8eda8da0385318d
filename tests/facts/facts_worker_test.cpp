#include "doctest.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "facts/facts_worker.h"
#include "platform/memory.h"
#include "platform/sim/sim_facts.h"
#include "platform/thread.h"
#include "support/test_folder.h"

using namespace olv;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kArrived = 130000000000000000LL; // any time: the tests pass "now" themselves
constexpr int64_t kSecond = 10000000;

void WaitUntil(const char* what, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) FAIL("waited 20 s for " << what);
        std::this_thread::yield();
    }
}

FactsWorkerConfig Config(uint32_t slots, uint64_t imageLimit = 0, uint64_t backgroundLimit = 0) {
    FactsWorkerConfig c{};
    c.slots = slots;
    c.imageSizeLimit = imageLimit;
    c.backgroundSizeLimit = backgroundLimit;
    return c;
}

struct Answered {
    FactsOutcome outcome;
    FactsKind kind;
    bool hasResult;
    FactsResult result; // copied: the pointer is valid during the callback only
};

// A worker whose reads the test can hold, and the answers it handed out.
struct Run {
    std::atomic<bool> held{false};
    std::atomic<uint64_t> entered{0}; // the ticket of the read the worker is in
    std::map<uint64_t, Answered> answers;
    uint64_t duplicates = 0;
    FactsWorker* w = nullptr;

    explicit Run(FactsWorkerConfig config = {}) {
        config.beforeRead = Hook;
        config.hookContext = this;
        w = StartFactsWorker(&config);
        REQUIRE(w);
    }
    ~Run() {
        held = false;
        ReleaseFactsWorker(w);
    }
    static void Hook(void* context, uint64_t ticket) {
        auto* self = static_cast<Run*>(context);
        self->entered = ticket;
        // Bounded, so that a failed test cannot hold the suite.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (self->held && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }
    static void Take(void* context, const FactsAnswer& a) {
        auto* self = static_cast<Run*>(context);
        self->duplicates += self->answers.count(a.ticket);
        Answered& to = self->answers[a.ticket];
        to.outcome = a.outcome;
        to.kind = a.kind;
        to.hasResult = a.result != nullptr;
        if (a.result) std::memcpy(&to.result, a.result, sizeof to.result);
    }
    uint32_t PollAt(int64_t now) { return PollFacts(w, now, Take, this, 1000); }
    // Polls at the rows' arrival time (so nothing is late) until count answers are in.
    void PollUntil(size_t count, const char* what) {
        WaitUntil(what, [&] {
            PollAt(kArrived);
            return answers.size() >= count;
        });
    }
    void HoldIn(uint64_t ticket) {
        held = true;
        REQUIRE(RequestTokenFacts(w, ticket, kArrived, 1));
        WaitUntil("the worker to start the held read", [&] { return entered == ticket; });
    }
    FactsCounts Counts() const {
        FactsCounts c{};
        ReadFactsCounts(w, &c);
        return c;
    }
};

struct Scratch : TestFolder {
    Scratch() : TestFolder("olv_facts_worker_") {}
    std::u16string Write(const char* name, const std::string& bytes) const {
        return TestFolder::Write(name, bytes).u16string();
    }
};

std::u16string Text(const char16_t* text) {
    return text;
}

} // namespace

TEST_CASE("Each kind of fact reaches its ticket; what cannot be read stays unknown and counted") {
    Scratch scratch;
    const std::u16string abc = scratch.Write("abc.txt", "abc");
    const std::u16string gone = (scratch.dir / "deleted.exe").u16string();
    FileTrust trust{kFileTrustChecked, 0, kTrustOk, false, true, u"Test Signer"};
    SetSimulatedFileTrust(abc.c_str(), trust);
    ProcessTokenFacts token{};
    token.status = kTokenRead;
    token.userKnown = true;
    std::memcpy(token.user, u"LAB\\analyst", sizeof u"LAB\\analyst");
    SetSimulatedProcessToken(4242, token);
    const uint8_t ten[4] = {10, 0, 0, 0};
    SetSimulatedRegistryValue(u"HKLM\\Software\\W", u"Run", kRegDword, ten, 4);
    SetSimulatedRegistryKeyTime(u"HKLM\\Software\\W", kArrived - kSecond);
    {
        Run run;
        FactsWorker* w = run.w;
        REQUIRE(RequestImageFacts(w, 1, kArrived, abc.c_str()));
        REQUIRE(RequestFileTrust(w, 2, kArrived, abc.c_str()));
        REQUIRE(RequestTokenFacts(w, 3, kArrived, 4242));
        REQUIRE(RequestRegistryDetails(w, 4, kArrived, u"\\REGISTRY\\MACHINE\\Software\\W", u"run",
                                       kArrived - kSecond));
        REQUIRE(RequestImageFacts(w, 5, kArrived, gone.c_str()));
        REQUIRE(RequestFileTrust(w, 6, kArrived, gone.c_str()));
        REQUIRE(RequestTokenFacts(w, 7, kArrived, 4243)); // ended before it was read
        run.PollUntil(7, "the seven reads");
        auto& a = run.answers;
        CHECK(run.duplicates == 0);
        CHECK(a[1].kind == kFactsImage);
#if OLV_HAVE_LIBYARA
        REQUIRE(a[1].outcome == kFactsRead);
        CHECK(std::string(a[1].result.image.md5) == "900150983CD24FB0D6963F7D28E17F72");
#else
        CHECK(a[1].outcome == kFactsUnreadable); // a build without a reader: failed, not deleted
        CHECK(run.Counts().imagesFailed == 1);
#endif
        REQUIRE(a[2].outcome == kFactsRead);
        CHECK(Text(a[2].result.trust.signer) == u"Test Signer");
        REQUIRE(a[3].outcome == kFactsRead);
        CHECK(Text(a[3].result.token.user) == u"LAB\\analyst");
        REQUIRE(a[4].outcome == kFactsRead);
        CHECK(a[4].result.detailsOutcome == kDetailsWhole);
        CHECK(Text(a[4].result.details) == u"DWORD (0x0000000a)");
        for (uint64_t t : {5, 6, 7})
            CHECK((a[t].outcome == kFactsUnreadable && a[t].hasResult)); // reason in the result
        CHECK_FALSE(a[5].result.image.digestsKnown);

        const FactsCounts c = run.Counts();
        CHECK((c.requested == 7 && c.answered == 7 && c.late == 0));
        CHECK((c.imagesUnreadable == 1 && c.trustUnreadable == 1 && c.tokensGone == 1));
        CHECK(PendingFacts(w) == 0);
        CHECK(StopFactsWorker(w, 20000));
    }
    ClearSimulatedFileTrust();
    ClearSimulatedProcessTokens();
    ClearSimulatedRegistry();
    CHECK(LiveAllocationCount() == 0);
}

TEST_CASE("A started process's folder is read with its token; one that cannot be is counted") {
    SetSimulatedProcessDirectory(51, u"C:\\Users\\an\\Work\\");
    SetSimulatedProcessDirectory(52, nullptr, kDirectoryAccessDenied);
    SetSimulatedProcessDirectory(53, std::u16string(kProcessDirectoryChars, u'x').c_str());
    {
        Run run;
        REQUIRE(RequestProcessDirectory(run.w, 1, kArrived, 51));
        REQUIRE(RequestProcessDirectory(run.w, 2, kArrived, 52));
        REQUIRE(RequestProcessDirectory(run.w, 3, kArrived, 53)); // longer than a path may be
        REQUIRE(RequestProcessDirectory(run.w, 4, kArrived, 54)); // ended before it was read
        run.PollUntil(4, "the four folder reads");
        auto& a = run.answers;
        REQUIRE(a[1].outcome == kFactsRead);
        CHECK(a[1].kind == kFactsDirectory);
        CHECK(Text(a[1].result.directory.path) == u"C:\\Users\\an\\Work\\");
        CHECK(a[2].result.directory.status == kDirectoryAccessDenied);
        CHECK(a[3].result.directory.status == kDirectoryTooLong);
        CHECK(a[4].result.directory.status == kDirectoryProcessGone);
        for (uint64_t t : {2, 3, 4}) {
            CHECK(a[t].outcome == kFactsUnreadable);
            CHECK(Text(a[t].result.directory.path).empty());
        }
        CHECK(run.Counts().directoriesUnreadable == 3);
    }
    ClearSimulatedProcessDirectories();
    FactsCounts c{};
    c.directoriesUnreadable = 2;
    char16_t out[256] = {};
    int32_t lines = 0;
    AppendFactsNotes(c, kDefaultImageFactsSizeLimit, u"", out, 256, &lines);
    CHECK(std::u16string(out) ==
          u"2 current folders of processes could not be read: ended, denied or failed\r\n");
}

TEST_CASE("A registry value written again after the event, or gone, is unknown and counted") {
    const uint8_t one[4] = {1, 0, 0, 0};
    SetSimulatedRegistryValue(u"HKCU\\K", u"Same", kRegDword, one, 4);
    SetSimulatedRegistryValue(u"HKCU\\Later", u"V", kRegDword, one, 4);
    SetSimulatedRegistryKey(u"HKCU\\Denied", true);
    SetSimulatedRegistryKeyTime(u"HKCU\\K", 1000);
    SetSimulatedRegistryKeyTime(u"HKCU\\Later", 1001);
    SetSimulatedRegistryValue(u"HKCU\\NoTime", nullptr, kRegSz, u"x", 4);
    struct Case {
        const char16_t* key;
        const char16_t* value;
        FactsOutcome outcome;
    };
    const Case cases[] = {
        {u"HKCU\\K", u"Same", kFactsRead}, // written at the event's own time: the event's
        {u"HKCU\\Later", u"V", kFactsChanged},
        {u"HKCU\\K", u"Removed", kFactsChanged},
        {u"HKCU\\NoSuchKey", u"V", kFactsChanged},
        {u"HKCU\\Denied", nullptr, kFactsUnreadable},
        {u"HKCU\\NoTime", nullptr, kFactsUnreadable}, // cannot tell it is the event's value
    };
    Run run;
    for (uint64_t t = 0; t < 6; ++t)
        REQUIRE(RequestRegistryDetails(run.w, t, kArrived, cases[t].key, cases[t].value, 1000));
    run.PollUntil(6, "six registry reads");
    for (uint64_t t = 0; t < 6; ++t) {
        CAPTURE(t);
        CHECK(run.answers[t].outcome == cases[t].outcome);
        if (cases[t].outcome != kFactsRead)
            CHECK((run.answers[t].result.detailsOutcome == kDetailsUnknown &&
                   run.answers[t].result.details[0] == 0));
    }
    CHECK(Text(run.answers[0].result.details) == u"DWORD (0x00000001)");
    CHECK((run.Counts().registryChanged == 3 && run.Counts().registryUnreadable == 2));
    ClearSimulatedRegistry();
}

TEST_CASE("Facts not read two seconds after the row arrived are late; the slots come back") {
    Run run(Config(3));
    run.HoldIn(1);
    REQUIRE(RequestTokenFacts(run.w, 2, kArrived + kSecond, 2)); // arrived a second later
    CHECK(run.PollAt(kArrived + 2 * kSecond - 1) == 0);
    CHECK(run.PollAt(kArrived + 2 * kSecond) == 1);
    CHECK((run.answers[1].outcome == kFactsLate && !run.answers[1].hasResult));
    CHECK(run.PollAt(kArrived + 3 * kSecond) == 1);
    CHECK(run.answers[2].outcome == kFactsLate);
    CHECK(PendingFacts(run.w) == 0);
    CHECK(run.Counts().late == 2);

    // The read in progress ends after its deadline: dropped, not handed out twice; the slot of
    // the late queued request is given back when the worker reaches it.
    REQUIRE(RequestTokenFacts(run.w, 3, kArrived + 3 * kSecond, 3));
    run.held = false;
    run.PollUntil(3, "ticket 3 behind the two late ones");
    CHECK(run.duplicates == 0);
    CHECK(run.answers[3].outcome == kFactsUnreadable); // no such process
    CHECK(run.Counts().tokensGone == 1); // the late read's loss is counted as late only
    for (uint64_t t = 10; t < 13; ++t)
        CHECK(RequestTokenFacts(run.w, t, kArrived, 1));
    CHECK(run.Counts().refusedFull == 0);
}

TEST_CASE("A full queue refuses at once and counts; so does a path no slot holds") {
    Run run(Config(4));
    run.HoldIn(1);
    for (uint64_t t = 2; t <= 4; ++t)
        REQUIRE(RequestTokenFacts(run.w, t, kArrived, 1));
    CHECK_FALSE(RequestTokenFacts(run.w, 5, kArrived, 1));
    CHECK_FALSE(RequestImageFacts(run.w, 6, kArrived, u"C:\\any"));
    CHECK(run.Counts().refusedFull == 2);

    const std::u16string longest(kFactsPathChars - 1, u'a');
    const std::u16string key(kFactsPathChars - 3, u'k');
    CHECK_FALSE(RequestImageFacts(run.w, 7, kArrived, longest.c_str()));
    CHECK_FALSE(RequestRegistryDetails(run.w, 8, kArrived, key.c_str(), u"vv", 0));
    CHECK(run.Counts().refusedLong == 2);

    run.held = false;
    run.PollUntil(4, "the four accepted requests");
    CHECK(run.answers.count(5) == 0);
    // The longest that fit, with their terminators.
    CHECK(RequestImageFacts(run.w, 9, kArrived, longest.substr(1).c_str()));
    CHECK(RequestRegistryDetails(run.w, 10, kArrived, key.c_str(), u"v", 0));
}

TEST_CASE("Stopping drops what is pending, counted, and returns while a read still runs") {
    {
        Run run;
        run.HoldIn(1);
        REQUIRE(RequestTokenFacts(run.w, 2, kArrived, 1));
        REQUIRE(RequestTokenFacts(run.w, 3, kArrived, 1));
        // The read of ticket 1 is held, so the worker cannot end within the wait.
        CHECK_FALSE(StopFactsWorker(run.w, 50));
        CHECK(run.Counts().droppedAtStop == 3);
        CHECK_FALSE(RequestTokenFacts(run.w, 4, kArrived, 1));
        run.held = false;
        CHECK(StopFactsWorker(run.w, 20000));
        CHECK(run.PollAt(kArrived + 10 * kSecond) == 0);
        CHECK((run.Counts().droppedAtStop == 3 && run.Counts().tokensGone == 0));
    }
    Run idle; // nothing to wait for: ends at once
    CHECK(StopFactsWorker(idle.w, 20000));
}

#if OLV_HAVE_LIBYARA
TEST_CASE("Files over the size limit are hashed in the background into the cache") {
    Scratch scratch;
    const std::u16string big = scratch.Write("big.bin", "abcdefghijklmnopqrstuvwxyz");
    const std::u16string huge = scratch.Write("huge.bin", std::string(100, 'h'));
    Run run(Config(0, 16, 64));
    REQUIRE(RequestImageFacts(run.w, 1, kArrived, big.c_str()));
    REQUIRE(RequestImageFacts(run.w, 2, kArrived, huge.c_str()));
    run.PollUntil(2, "the two large files");
    CHECK(run.answers[1].outcome == kFactsLarge);
    CHECK_FALSE(run.answers[1].result.image.digestsKnown);
    WaitUntil("the background hashing", [&] {
        const FactsCounts c = run.Counts();
        return PendingLargeFiles(run.w) == 0 && c.largeHashed + c.largeNotHashed == 2;
    });
    // The second is over the background limit too.
    CHECK((run.Counts().largeHashed == 1 && run.Counts().largeNotHashed == 1));

    REQUIRE(RequestImageFacts(run.w, 3, kArrived, big.c_str()));
    REQUIRE(RequestImageFacts(run.w, 4, kArrived, huge.c_str()));
    run.PollUntil(4, "the large files again");
    REQUIRE(run.answers[3].outcome == kFactsRead);
    CHECK(std::string(run.answers[3].result.image.md5) == "C3FCD3D76192E4007DFB496CCA67E13B");
    CHECK(run.answers[4].outcome == kFactsLarge);
    CHECK(run.Counts().largeFiles == 2); // not queued again: already known as too large
}
#endif

TEST_CASE("Many producers and a polling window thread: each ticket answered once or refused") {
    ProcessTokenFacts token{};
    token.status = kTokenRead;
    token.integrityKnown = true;
    token.integrityRid = 0x3000;
    SetSimulatedProcessToken(7, token);
    Run run(Config(32));
    FactsWorker* w = run.w;
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
    for (ThreadHandle t : threads) {
        while (!WaitThreadEnd(t, 0))
            run.PollAt(kArrived);
        JoinThread(t);
    }
    std::set<uint64_t> accepted;
    for (const Producer& p : producers)
        accepted.insert(p.accepted.begin(), p.accepted.end());
    run.PollUntil(accepted.size(), "every accepted request");
    CHECK(run.duplicates == 0);
    const FactsCounts c = run.Counts();
    CHECK((c.requested == accepted.size() && c.answered == accepted.size()));
    CHECK(c.requested + c.refusedFull == kProducers * kEach);
    for (const auto& [ticket, answer] : run.answers)
        CHECK((accepted.count(ticket) == 1 && answer.outcome == kFactsRead &&
               answer.result.token.integrityRid == 0x3000));
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
