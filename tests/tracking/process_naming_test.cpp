#include "doctest.h"

#include <string>

#include "support/text_check.h"
#include "tracking/process_naming.h"
#include "tracking/tracking_fixture.h"

namespace olv {

namespace {

std::u16string NameAt(TrackingState* ts, uint32_t pid, int64_t t) {
    char16_t out[64] = u"stale";
    LookupProcessName(ts, pid, t, out, 64);
    return out;
}

} // namespace

TEST_CASE("process naming: whether the kernel could have cut a file name to its short name") {
    struct Case {
        const char16_t* name;
        const char16_t* shortName;
        bool fits;
    } cases[] = {
        {u"Invoice_2024-0412.pdf.exe", u"Invoice_2024-04", true}, // cut at 15 bytes
        {u"Invoice_2024-0412.pdf.exe", u"Invoice_2024-0", true},  // and at 14
        {u"Invoice_2024-0412.pdf.exe", u"Invoice_2024-", false},  // 13 bytes: never cut there
        {u"notepad.exe", u"notepad.exe", true},
        {u"NOTEPAD.EXE", u"notepad.exe", true},
        {u"notepad.exe.bak", u"notepad.exe", false}, // an uncut name must be the whole name
        {u"notepad", u"notepad.exe", false},
        {u"svchost.exe", u"Invoice_2024-04", false},
        // 8-bit: a character of the code page stays, one outside it became '?'
        {u"Rechnungspr\u00fcfung_\u00dcberweisung.exe", u"Rechnungspr\u00fcfun", true},
        {u"\u0421\u0447\u0451\u0442-\u0444\u0430\u043a\u0442\u0443\u0440\u0430_2024.pdf.exe",
         u"?\?\?\?-?\?\?\?\?\?\?_20", true},
        {u"\u0421\u0447\u0451\u0442-\u0444\u0430\u043a\u0442\u0443\u0440\u0430_2024.pdf.exe",
         u"?\?\?\?-?\?\?\?\?\?\?_21", false},
        {u"\u0421\u0447\u0451\u0442.exe", u"????.exe", true},
        {u"\u0421\u0447\u0451\u0442.exe", u"???.exe", false},
        // a double-byte code page: 14 bytes in 9 characters, the next one did not fit
        {u"\u8acb\u6c42\u66f8_2024\u5e744\u6708\u5206.exe", u"\u8acb\u6c42\u66f8_2024\u5e744",
         true},
        {u"a.exe", u"", true}, // nothing known contradicts nothing
        {u"a.exe", nullptr, true},
        {nullptr, u"a.exe", false},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.name != nullptr ? c.name : u"(null)"));
        CAPTURE(U8(c.shortName != nullptr ? c.shortName : u"(null)"));
        CHECK(FitsShortName(c.name, c.shortName) == c.fits);
    }
}

TEST_CASE("process naming: a better source wins unless the short name contradicts it") {
    struct Case {
        ProcessNameSource current, candidate;
        const char16_t* name;
        const char16_t* shortName;
        bool prefers;
    } cases[] = {
        {kNameFromShortName, kNameFromCommandLine, u"Invoice_2024-0412.pdf.exe", u"Invoice_2024-04",
         true},
        // the creator wrote another program's name as its child's first argument
        {kNameFromShortName, kNameFromCommandLine, u"svchost.exe", u"Invoice_2024-04", false},
        {kNameFromCommandLine, kNameFromImage, u"Invoice_2024-0412.pdf.exe", u"Invoice_2024-04",
         true},
        {kNameFromShortName, kNameFromImage, u"ntdll.dll", u"Invoice_2024-04", false},
        {kNameFromImage, kNameFromCommandLine, u"Invoice_2024-0412.pdf.exe", u"", false},
        {kNameFromImage, kNameFromLauncher, u"sample.exe", u"other.exe", true},
        {kNameFromShortName, kNameFromCommandLine, u"", u"a.exe", false},
    };
    for (const Case& c : cases) {
        CAPTURE(static_cast<int>(c.current));
        CAPTURE(static_cast<int>(c.candidate));
        CAPTURE(U8(c.name));
        CHECK(PrefersProcessName(c.current, c.candidate, c.name, c.shortName) == c.prefers);
    }
}

TEST_CASE("process naming: the program a command line starts") {
    struct Case {
        const char16_t* line;
        const char16_t* name; // null: none
    } cases[] = {
        {u"\"C:\\Users\\a\\Invoice_2024-0412.pdf.exe\" /s", u"Invoice_2024-0412.pdf.exe"},
        {u"C:\\Windows\\system32\\cmd.exe /c dir", u"cmd.exe"},
        {u"\\??\\C:\\Windows\\system32\\conhost.exe 0xffffffff", u"conhost.exe"},
        {u" \tpowershell -enc AAA", u"powershell"},
        {u"\"C:\\Program Files\\a b\\x y.exe\"", u"x y.exe"},
        {u"\"C:\\open\\a.exe", u"a.exe"}, // the quote never closes
        {u"C:/tools/a.exe", u"a.exe"},
        {u"C:\\folder\\ -x", nullptr},
        {u"\"\" x", nullptr},
        {u"", nullptr},
        {nullptr, nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.line != nullptr ? c.line : u"(null)"));
        char16_t out[64] = u"stale";
        CHECK(CommandLineFileName(c.line, out, 64) == (c.name != nullptr));
        CHECK(std::u16string(out) == (c.name != nullptr ? c.name : u""));
    }
    char16_t small[4];
    CHECK(CommandLineFileName(u"abcdef.exe", small, 4));
    CHECK(std::u16string(small) == u"abc");
    CHECK_FALSE(CommandLineFileName(u"a.exe", small, 0));
}

TEST_CASE("process names: each lifetime of an id shows the best name its events gave") {
    TrackingFixture f;
    const char16_t* invoice = u"\"C:\\Users\\a\\Invoice_2024-0412.pdf.exe\" /s";
    const char16_t* invoicePath = u"\\Device\\HarddiskVolume3\\Users\\a\\Invoice_2024-0412.pdf.exe";
    const char16_t* ntdll = u"\\Device\\HarddiskVolume3\\Windows\\System32\\ntdll.dll";

    SUBCASE("loads logged before the start: the first names the process, the start agrees") {
        NoteProcessImageName(f.ts, 700, 200, invoicePath, true);
        NoteProcessImageName(f.ts, 700, 201, ntdll, true);
        NoteProcessStartName(f.ts, 700, 202, u"Invoice_2024-04", u"Invoice.exe");
        CHECK(NameAt(f.ts, 700, 200) == u"Invoice_2024-0412.pdf.exe");
        CHECK(NameAt(f.ts, 700, 199).empty());
        CHECK(f.ts->processNames.count == 1);
        // a first load that was not the executable gives way to the start's names
        NoteProcessImageName(f.ts, 710, 200, ntdll, true);
        NoteProcessStartName(f.ts, 710, 201, u"notepad.exe", u"notepad.exe a.txt");
        CHECK(NameAt(f.ts, 710, 201) == u"notepad.exe");
    }
    SUBCASE("an ended process's id, reused: the new lifetime begins with its first sign") {
        NoteProcessStartName(f.ts, 800, 100, u"first.exe", nullptr);
        NoteProcessEndName(f.ts, 800, 300);
        NoteProcessImageName(f.ts, 800, 400, invoicePath, true);
        NoteProcessStartName(f.ts, 800, 401, u"Invoice_2024-04", invoice);
        CHECK(NameAt(f.ts, 800, 350) == u"first.exe");
        CHECK(NameAt(f.ts, 800, 400) == u"Invoice_2024-0412.pdf.exe");
        CHECK(f.ts->processNames.count == 2);
        // an image rundown never begins a lifetime; a load does not after the history was
        // dropped, when any id may be a running process
        NoteProcessImageName(f.ts, 900, 10, invoicePath, false);
        f.ts->processNames.dropped = 1;
        NoteProcessImageName(f.ts, 901, 10, ntdll, true);
        CHECK(NameAt(f.ts, 900, 10).empty());
        CHECK(NameAt(f.ts, 901, 10).empty());
        CHECK(f.ts->processNames.count == 2);
    }
    SUBCASE("the launched program keeps the launcher's name; an earlier process of its id, "
            "delivered late, keeps its own") {
        TrackLaunchedProcess(f.ts, 4242, u"Invoice_2024-0412.pdf.exe", 1000);
        NoteProcessStartName(f.ts, 4242, 500, u"OneDriveStandal",
                             u"\"C:\\OneDrive\\OneDriveStandaloneUpdater.exe\" /reporting");
        NoteProcessEndName(f.ts, 4242, 900);
        NoteProcessStartName(f.ts, 4242, 1000, u"Invoice_2024-04", u"spoofed.exe");
        NoteProcessImageName(f.ts, 4242, 1001, ntdll, true);
        CHECK(NameAt(f.ts, 4242, 600) == u"OneDriveStandaloneUpdater.exe");
        CHECK(NameAt(f.ts, 4242, 999) == u"OneDriveStandaloneUpdater.exe");
        CHECK(NameAt(f.ts, 4242, 1000) == u"Invoice_2024-0412.pdf.exe");
        CHECK(NameAt(f.ts, 4242, 5000) == u"Invoice_2024-0412.pdf.exe");
        CHECK_FALSE(IsProcessFollowed(f.ts, 4242, 999));
        CHECK(IsProcessFollowed(f.ts, 4242, 1000));
    }
}

} // namespace olv

namespace olv {

namespace {

std::string Image(TrackingState* ts, uint32_t pid, int64_t t) {
    char16_t out[kProcessImageChars];
    return LookupProcessImage(ts, pid, t, out, kProcessImageChars) ? U8(out) : "<none>";
}

} // namespace

TEST_CASE("process images: the executable's full path, never a DLL's or a creator's lie") {
    TrackingFixture f;
    // A start rundown whose command line leads with the program's full path, quoted or not.
    NoteProcessStartName(f.ts, 712, 100, u"lsass.exe", u"C:\\Windows\\system32\\lsass.exe");
    CHECK(Image(f.ts, 712, 200) == "C:\\Windows\\system32\\lsass.exe");
    NoteProcessStartName(f.ts, 800, 100, u"MsMpEng.exe", u"\"C:\\Program Files\\D\\MsMpEng.exe\" -x");
    CHECK(Image(f.ts, 800, 200) == "C:\\Program Files\\D\\MsMpEng.exe");
    // A bare name is no path; the executable's load gives the kernel's path then, DLLs never.
    NoteProcessStartName(f.ts, 900, 100, u"notepad.exe", u"notepad.exe a.txt");
    CHECK(Image(f.ts, 900, 200) == "<none>");
    NoteProcessImageName(f.ts, 900, 110, u"\\Device\\HarddiskVolume3\\Windows\\System32\\x.dll",
                         true);
    CHECK(Image(f.ts, 900, 200) == "<none>");
    NoteProcessImageName(f.ts, 900, 120,
                         u"\\Device\\HarddiskVolume3\\Windows\\System32\\NOTEPAD.EXE", true);
    CHECK(Image(f.ts, 900, 200) == "\\Device\\HarddiskVolume3\\Windows\\System32\\NOTEPAD.EXE");
    // A command line naming another program than the short name says gives no path.
    NoteProcessStartName(f.ts, 1000, 100, u"evil.exe", u"C:\\Windows\\explorer.exe");
    CHECK(Image(f.ts, 1000, 200) == "<none>");
    // The lifetime at the time asked: a reused id's new process has its own.
    NoteProcessEndName(f.ts, 712, 300);
    NoteProcessStartName(f.ts, 712, 400, u"calc.exe", u"C:\\Windows\\calc.exe");
    CHECK(Image(f.ts, 712, 350) == "C:\\Windows\\system32\\lsass.exe");
    CHECK(Image(f.ts, 712, 500) == "C:\\Windows\\calc.exe");
    CHECK(Image(f.ts, 4242, 500) == "<none>");
    // A path longer than the room is not kept cut.
    std::u16string longPath = u"C:\\" + std::u16string(300, u'a') + u"\\long.exe";
    NoteProcessStartName(f.ts, 1100, 100, u"long.exe", longPath.c_str());
    CHECK(Image(f.ts, 1100, 200) == "<none>");
}

} // namespace olv
