// The image map's own bookkeeping: images found by process and base, each process's images listed
// newest first, entries and process records freed and used again, and its limits counted.
#include "doctest.h"

#include <string>

#include "base/format.h"
#include "support/text_check.h"
#include "tracking/tracking_fixture.h"

namespace olv {

namespace {

constexpr uint32_t kA = 1200;
// Shares kA's process chain and uses the same bases.
constexpr uint32_t kB = kA + 4 * kImageProcessBuckets;

// The path of the image of pid at address; "" when none holds it.
std::string At(TrackingState* ts, uint32_t pid, uint64_t address) {
    char16_t path[1024];
    uint64_t base = 0;
    if (!FindImageAt(ts, pid, address, path, 1024, &base)) {
        CHECK(path[0] == 0);
        return "";
    }
    CHECK(address >= base);
    return U8(path);
}

std::string Dll(int i) {
    return "\\x\\" + std::to_string(i) + ".dll";
}

void Note(TrackingState* ts, uint32_t pid, int i, uint64_t size = 0x1000) {
    char16_t name[32];
    FormatText(name, 32, u"\\x\\%d.dll", i);
    NoteProcessImage(ts, pid, 0x10000 * uint64_t(i + 1), size, name);
}

uint64_t BaseOf(int i) {
    return 0x10000 * uint64_t(i + 1);
}

} // namespace

TEST_CASE("image map: unloads take one image from anywhere in a process's list") {
    TrackingFixture f;
    for (int i = 0; i < 5; ++i) {
        Note(f.ts, kA, i);
        Note(f.ts, kB, i);
    }
    // The middle, the newest, the oldest, then the rest: each time the others stay found, in
    // this process and in the one that shares its bases and its chain.
    const int order[] = {2, 4, 0, 1, 3};
    bool gone[5] = {};
    for (int taken : order) {
        CAPTURE(taken);
        ForgetProcessImage(f.ts, kA, BaseOf(taken));
        gone[taken] = true;
        for (int i = 0; i < 5; ++i) {
            CAPTURE(i);
            CHECK(At(f.ts, kA, BaseOf(i) + 0x10) == (gone[i] ? "" : Dll(i)));
            CHECK(At(f.ts, kB, BaseOf(i) + 0x10) == Dll(i));
        }
    }
    // Unloads of what is not kept change nothing.
    ForgetProcessImage(f.ts, kA, BaseOf(1));
    ForgetProcessImage(f.ts, 7777, BaseOf(1));
    ForgetProcessImage(f.ts, kB, BaseOf(9));
    for (int i = 0; i < 5; ++i)
        CHECK(At(f.ts, kB, BaseOf(i)) == Dll(i));
    // A process whose last image went takes new ones.
    Note(f.ts, kA, 3);
    CHECK(At(f.ts, kA, BaseOf(3)) == Dll(3));
    CHECK(f.ts->images.count == 6);
    CHECK(Counter(f.ts, kImagesNotMapped) == 0);
}

TEST_CASE("image map: a base noted again replaces its image in place; the newest image wins") {
    TrackingFixture f;
    // Two images that overlap (a bad trace, or an unload never seen): the newer one holds the
    // address they share.
    NoteProcessImage(f.ts, kA, 0x100000, 0x100000, u"\\x\\wide.dll");
    NoteProcessImage(f.ts, kA, 0x180000, 0x1000, u"\\x\\inner.dll");
    CHECK(At(f.ts, kA, 0x180010) == "\\x\\inner.dll");
    CHECK(At(f.ts, kA, 0x170000) == "\\x\\wide.dll");
    // The older one noted again (a rundown) keeps its place behind the newer one.
    NoteProcessImage(f.ts, kA, 0x100000, 0x100000, u"\\x\\wide.dll");
    CHECK(At(f.ts, kA, 0x180010) == "\\x\\inner.dll");
    // The same base with another path and size: one image, the new one.
    NoteProcessImage(f.ts, kA, 0x100000, 0x200000, u"\\x\\other.dll");
    CHECK(f.ts->images.count == 2);
    CHECK(At(f.ts, kA, 0x1f0000) == "\\x\\other.dll");
    CHECK(At(f.ts, kA, 0x180010) == "\\x\\inner.dll");
    // The same path again with a new size: the size follows.
    NoteProcessImage(f.ts, kA, 0x100000, 0x1000, u"\\x\\other.dll");
    CHECK(At(f.ts, kA, 0x1f0000) == "");
    CHECK(At(f.ts, kA, 0x100fff) == "\\x\\other.dll");
    // Nothing noted for a zero base or size, or without a path.
    NoteProcessImage(f.ts, kA, 0, 0x1000, u"\\x\\zero.dll");
    NoteProcessImage(f.ts, kA, 0x400000, 0, u"\\x\\zero.dll");
    NoteProcessImage(f.ts, kA, 0x400000, 0x1000, nullptr);
    CHECK(f.ts->images.count == 2);

    // The program and the module of a thread come from the newest images too.
    char16_t program[64];
    char16_t module[64];
    uint64_t base = 0;
    NoteProcessImage(f.ts, kA, 0x500000, 0x1000, u"\\old\\app.exe");
    NoteProcessImage(f.ts, kA, 0x600000, 0x1000, u"\\new\\APP.EXE");
    CHECK(FindThreadImages(f.ts, kA, u"app.exe", program, 64, 0x180020, module, 64, &base) ==
          (kFoundProgram | kFoundModule));
    CHECK(U8(program) == "\\new\\APP.EXE");
    CHECK(U8(module) == "\\x\\inner.dll");
    CHECK(base == 0x180000);
}

TEST_CASE("image map: a process's end takes its images only; its id starts afresh") {
    TrackingFixture f;
    for (int i = 0; i < 40; ++i) {
        Note(f.ts, kA, i);
        Note(f.ts, kB, i);
    }
    NoteProcessImage(f.ts, kA, 0x7000000, 0x1000, u"\\old\\first.exe");
    NoteNewProcess(f.ts, kA);
    ForgetProcessImages(f.ts, kA);
    CHECK(f.ts->images.count == 40);
    // Its first thread was never seen: the mark went with it.
    CHECK_FALSE(TakeFirstThread(f.ts, kA));
    for (int i = 0; i < 40; ++i) {
        CHECK(At(f.ts, kA, BaseOf(i)) == "");
        CHECK(At(f.ts, kB, BaseOf(i)) == Dll(i));
    }
    // A new process of the id: only its own images, its own program.
    NoteProcessImage(f.ts, kA, 0x7000000, 0x2000, u"\\new\\second.exe");
    Note(f.ts, kA, 3);
    char16_t program[64];
    char16_t module[64];
    uint64_t base = 0;
    CHECK(FindThreadImages(f.ts, kA, u"first.exe", program, 64, 0x7001000, module, 64, &base) ==
          kFoundModule);
    CHECK(program[0] == 0);
    CHECK(U8(module) == "\\new\\second.exe");
    CHECK(At(f.ts, kA, BaseOf(4)) == "");
    CHECK(At(f.ts, kA, BaseOf(3)) == Dll(3));
    // Ends of processes with nothing kept, and a second end, are harmless.
    ForgetProcessImages(f.ts, 9999);
    ForgetProcessImages(f.ts, kB);
    ForgetProcessImages(f.ts, kB);
    CHECK(f.ts->images.count == 2);
    CHECK(Counter(f.ts, kImagesNotMapped) == 0);
}

TEST_CASE("image map: full with one image in each of as many processes as entries") {
    TrackingFixture f;
    // Every entry in a process of its own: the process records never run out before the entries.
    for (int p = 0; p < kImageMapEntries; ++p)
        NoteProcessImage(f.ts, 4 * uint32_t(p + 1), 0x10000, 0x1000, u"\\x\\a.dll");
    CHECK(f.ts->images.count == kImageMapEntries);
    CHECK(Counter(f.ts, kImagesNotMapped) == 0);
    NoteProcessImage(f.ts, 4 * uint32_t(kImageMapEntries + 1), 0x10000, 0x1000, u"\\x\\a.dll");
    NoteProcessImage(f.ts, 4, 0x20000, 0x1000, u"\\x\\a.dll");
    CHECK(Counter(f.ts, kImagesNotMapped) == 2);
    // Full, an image already kept is still noted again, with its new path too.
    NoteProcessImage(f.ts, 4, 0x10000, 0x2000, u"\\x\\b.dll");
    CHECK(Counter(f.ts, kImagesNotMapped) == 2);
    CHECK(At(f.ts, 4, 0x11000) == "\\x\\b.dll");
    // An unload and an end make room for a process not seen before.
    ForgetProcessImage(f.ts, 8, 0x10000);
    ForgetProcessImages(f.ts, 12);
    NoteProcessImage(f.ts, 4 * uint32_t(kImageMapEntries + 1), 0x10000, 0x1000, u"\\x\\c.dll");
    NoteProcessImage(f.ts, 4 * uint32_t(kImageMapEntries + 2), 0x10000, 0x1000, u"\\x\\c.dll");
    NoteProcessImage(f.ts, 4 * uint32_t(kImageMapEntries + 3), 0x10000, 0x1000, u"\\x\\c.dll");
    CHECK(Counter(f.ts, kImagesNotMapped) == 3);
    CHECK(At(f.ts, 4 * uint32_t(kImageMapEntries + 2), 0x10000) == "\\x\\c.dll");
    CHECK(At(f.ts, 4 * uint32_t(kImageMapEntries), 0x10000) == "\\x\\a.dll");
    CHECK(At(f.ts, 8, 0x10000) == "");
}

TEST_CASE("image map: a path arena full keeps what fits and counts the rest") {
    TrackingFixture f;
    // Distinct paths of 400 units each, then one short one that still fits the arena's end.
    constexpr size_t kUnits = 400;
    const size_t fit = kImagePathUnits / (kUnits + 1);
    std::u16string path(kUnits, u'a');
    const auto name = [&](size_t i) {
        for (size_t d = 0; d < 6; ++d)
            path[d] = static_cast<char16_t>(u'0' + ((i >> (3 * d)) & 7));
        return path.c_str();
    };
    for (size_t i = 0; i < fit + 5; ++i)
        NoteProcessImage(f.ts, kA, 0x10000 * uint64_t(i + 1), 0x1000, name(i));
    CHECK(Counter(f.ts, kImagesNotMapped) == 5);
    const size_t left = kImagePathUnits - fit * (kUnits + 1);
    REQUIRE(left > 2);
    const std::u16string tail(left - 1, u'z');
    NoteProcessImage(f.ts, kA, 0x90000000, 0x1000, tail.c_str());
    CHECK(Counter(f.ts, kImagesNotMapped) == 5);
    CHECK(f.ts->images.textUsed == kImagePathUnits);
    // The last path kept ends at the arena's end: a longer one noted at its base is not taken for
    // it, and is counted as a path with no room.
    const std::u16string longer(left + 20, u'z');
    NoteProcessImage(f.ts, kA, 0x90000000, 0x1000, longer.c_str());
    CHECK(Counter(f.ts, kImagesNotMapped) == 6);
    CHECK(At(f.ts, kA, 0x90000000).size() == left - 1);
    // Paths kept are found and noted again at no cost.
    NoteProcessImage(f.ts, kA, 0x10000 * uint64_t(fit), 0x1000, name(fit - 1));
    NoteProcessImage(f.ts, kA, 0x90000000, 0x2000, tail.c_str());
    CHECK(Counter(f.ts, kImagesNotMapped) == 6);
    CHECK(At(f.ts, kA, 0x10000).substr(0, 6) == "000000");
    CHECK(At(f.ts, kA, 0x90001000).size() == left - 1);
}

} // namespace olv
