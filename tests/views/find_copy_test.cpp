#include "doctest.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/row_copy.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/cell_tip.h"
#include "views/copy_rows.h"
#include "views/find_rows.h"
#include "views/row_store.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct Fixture : HeadlessRecording {
    void Add(const char16_t* operation, const char16_t* path, const char16_t* detail = u"",
             const char16_t* result = u"OK", const char16_t* process = u"") {
        EventRow row{};
        row.category = 9; // hidden by no check box
        row.pid = 100 + static_cast<uint32_t>(app->rowCount);
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path);
        CopyBounded(row.detail, kDetailChars, detail);
        CopyBounded(row.result, kResultChars, result);
        CopyBounded(row.process, kProcessChars, process);
        AppendRow(app, &row);
    }
    int Find(const char16_t* text, bool matchCase, bool forward, int from, bool* wrapped) {
        return FindShownRow(app, text, matchCase, forward, from, wrapped);
    }
};

std::u16string Field(const char16_t* text, size_t chars = SIZE_MAX) {
    char16_t out[512] = {};
    AppendCopyField(out, 512, text, chars);
    return out;
}

} // namespace

TEST_CASE("find: direction, wrap, the focused row last, no match, case, and the filter's fields") {
    Fixture f;
    f.Add(u"Opened file", u"C:\\a\\Report.DOC");       // 0
    f.Add(u"Loaded DLL", u"C:\\Windows\\kernel32.dll"); // 1
    f.Add(u"Opened file", u"C:\\b\\report.doc");       // 2
    f.Add(u"Connected", u"10.0.0.1:443", u"sent report"); // 3: the detail
    f.Add(u"Wrote", u"HKLM\\x", u"", u"ACCESS DENIED");    // 4: the result
    f.Add(u"Loaded DLL", u"C:\\x.dll", u"", u"OK", u"report.exe"); // 5: the process: not searched

    struct Case {
        const char16_t* text;
        bool matchCase;
        bool forward;
        int from;
        int found;
        bool wrapped;
    };
    const Case cases[] = {
        {u"report", false, true, -1, 0, false}, // no focus: from the first row
        {u"report", false, true, 0, 2, false},
        {u"report", false, true, 2, 3, false},  // found in the detail
        {u"report", false, true, 3, 0, true},   // past the last row, round to the first
        {u"report", false, false, -1, 3, false}, // backwards with no focus: from the last row
        {u"report", false, false, 3, 2, false},
        {u"report", false, false, 0, 3, true},  // past the first row, round to the last
        {u"Report", true, true, 0, 0, true},    // only the focused row matches: found, wrapped
        {u"report", true, true, 0, 2, false},
        {u"REPORT", true, true, -1, -1, false},
        {u"access denied", false, true, -1, 4, false}, // the result is searched
        {u"opened FILE", false, false, 1, 0, false},   // the operation is searched
        {u"report.exe", false, true, -1, -1, false},   // the process is not
        {u"", false, true, -1, -1, false},
        {u"\\x", false, true, 99, 4, false},          // a stale focus counts as none
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.text, c.text + TextLength(c.text)));
        CAPTURE(c.from);
        CAPTURE(c.forward);
        bool wrapped = true;
        CHECK(f.Find(c.text, c.matchCase, c.forward, c.from, &wrapped) == c.found);
        CHECK(wrapped == c.wrapped);
    }

    // Only shown rows are searched, by their place in the list.
    CopyBounded(f.app->view.filter, kFilterTextChars + 1, u"Opened");
    RebuildShownRows(f.app);
    REQUIRE(f.app->shownCount == 2);
    bool wrapped = false;
    CHECK(f.Find(u"report", false, true, 0, &wrapped) == 1);
    CHECK(f.Find(u"kernel32", false, true, -1, &wrapped) == -1);
    f.app->view.filter[0] = 0;
    RebuildShownRows(f.app);
    // A non-ASCII letter matches only itself, as in the filter.
    f.Add(u"Opened file", u"C:\\\u00C9t\u00E9.txt");
    CHECK(f.Find(u"\u00E9T\u00C9", false, true, -1, &wrapped) == -1);
    CHECK(f.Find(u"\u00C9T\u00E9", false, true, -1, &wrapped) == 6);
}

TEST_CASE("Find Next and Previous select the row found and say when they wrapped or found none") {
    Fixture f;
    for (int i = 0; i < 5; ++i)
        f.Add(u"Opened file", i % 2 == 0 ? u"C:\\even.txt" : u"C:\\odd.txt");
    ApplyWindowViewChanges(f.app);
    char16_t message[300];
    std::u16string text;
    bool matchCase = false;
    bool upward = false;
    const HeadlessList& list = HeadlessModel()->list;
    // As the window searches: from the list's focused item, the row found drawn afterwards.
    auto next = [&](bool reverse) {
        const FindOutcome outcome =
            FindNextRow(f.app, text.c_str(), matchCase, upward, reverse,
                        UiListFocusedItem(f.app->window->eventList), message, 300);
        ApplyWindowViewChanges(f.app);
        return outcome;
    };
    CHECK(next(false) == kFindNoText);
    CHECK(std::u16string(message) == u"Type the text to find.");

    text = u"EVEN";
    CHECK(next(false) == kFindFound);
    CHECK(list.focusedItem == 0);
    CHECK(std::u16string(message).empty());
    // The core only reports the row found; the list is untouched until the window draws.
    CHECK(FindNextRow(f.app, text.c_str(), matchCase, upward, false, 0, message, 300) ==
          kFindFound);
    CHECK(f.app->changes.select == kSelectOnly);
    CHECK(f.app->changes.selectItem == 2);
    CHECK(list.focusedItem == 0);
    ApplyWindowViewChanges(f.app);
    CHECK(list.focusedItem == 2);
    CHECK(UiListNextSelected(f.app->window->eventList, -1) == 2);
    CHECK(UiListNextSelected(f.app->window->eventList, 2) == -1); // the row found alone
    CHECK(list.lastMadeVisible == 2);
    next(false);
    CHECK(next(false) == kFindWrapped);
    CHECK(list.focusedItem == 0);
    CHECK(std::u16string(message) == u"Passed the last row: continued from the first.");
    // Shift+F3: the other way.
    CHECK(next(true) == kFindWrapped);
    CHECK(list.focusedItem == 4);
    CHECK(std::u16string(message) == u"Passed the first row: continued from the last.");
    // The window's direction "up" turns both round.
    upward = true;
    CHECK(next(false) == kFindFound);
    CHECK(list.focusedItem == 2);
    matchCase = true;
    CHECK(next(false) == kFindNotFound);
    CHECK(std::u16string(message) == u"No shown row contains \"EVEN\".");
    CHECK(list.focusedItem == 2); // left where it was
}

TEST_CASE("copied fields: tabs and line breaks cannot split columns or lines; hostile texts") {
    struct Case {
        const char16_t* text;
        const char16_t* copied;
    };
    const Case cases[] = {
        {u"C:\\Users\\a b\\x.exe", u"C:\\Users\\a b\\x.exe"},
        {u"a\tb", u"a[U+0009]b"},
        {u"line1\r\nline2", u"line1[U+000D][U+000A]line2"},
        {u"Invoice\u202Efdp.exe", u"Invoice[U+202E]fdp.exe"},
        {u"nul\u0001bell\u0007del\u007F", u"nul[U+0001]bell[U+0007]del[U+007F]"},
        {u"sep\u2028para\u2029", u"sep[U+2028]para[U+2029]"},
        {u"=cmd|' /C calc'!A0", u"'=cmd|' /C calc'!A0"},
        {u"+1", u"'+1"},
        {u"-2", u"'-2"},
        {u"@SUM(A1)", u"'@SUM(A1)"},
        {u"a=b", u"a=b"},
        {u"lone \xD800 high", u"lone \uFFFD high"},
        {u"pair \U0001F600 kept", u"pair \U0001F600 kept"},
        {u"tag \U000E0041", u"tag [U+E0041]"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        CAPTURE(TextLength(c.text));
        CHECK(Field(c.text) == c.copied);
    }
    // A field stops at its capacity even without a terminator, and a mark is never cut.
    const char16_t unterminated[4] = {u'a', u'b', u'c', u'd'};
    CHECK(Field(unterminated, 3) == u"abc");
    char16_t small[10] = {};
    AppendCopyField(small, 10, u"ab\tcd", SIZE_MAX);
    CHECK(std::u16string(small) == u"ab");
    char16_t tiny[8] = {};
    AppendCopyField(tiny, 8, u"\t", SIZE_MAX);
    CHECK(std::u16string(tiny).empty());
}

TEST_CASE("copied rows: the CSV's columns after a header line, one line per selected row") {
    Fixture f;
    f.Add(u"Opened file", u"C:\\a.txt", u"Share: read", u"OK", u"a.exe");
    f.Add(u"Wrote\tvalue", u"HKCU\\Run\r\nevil", u"=1+1", u"OK");
    f.Add(u"Connected", u"10.0.0.1:443");

    const int32_t items[] = {0, 1, 7 /* not shown: skipped */};
    size_t length = 0;
    char16_t* text = BuildCopyText(f.app, items, 3, &length);
    REQUIRE(text != nullptr);
    const std::u16string copied(text, length);
    CHECK(length == TextLength(text));
    FreeBlock(text);
    const std::u16string header =
        u"Time\tSeverity\tPID\tProcess\tCategory\tOperation\tPath\tDetail\tResult\tThreat\r\n";
    REQUIRE(copied.rfind(header, 0) == 0);
    // Every line holds ten columns: nine tabs, and no stray line break.
    std::vector<std::u16string> lines;
    for (size_t at = 0; at < copied.size();) {
        const size_t end = copied.find(u"\r\n", at);
        REQUIRE(end != std::u16string::npos);
        lines.push_back(copied.substr(at, end - at));
        at = end + 2;
    }
    REQUIRE(lines.size() == 3);
    for (const std::u16string& line : lines) {
        CHECK(std::count(line.begin(), line.end(), u'\t') == 9);
        CHECK(line.find(u'\r') == std::u16string::npos);
        CHECK(line.find(u'\n') == std::u16string::npos);
    }
    CHECK(lines[1].find(u"\t\t100 (a.exe)\ta.exe\tUnknown\tOpened file\tC:\\a.txt\tShare: read\tOK\t") !=
          std::u16string::npos);
    CHECK(lines[2].find(u"\t101\t\tUnknown\tWrote[U+0009]value\tHKCU\\Run[U+000D][U+000A]evil\t'=1+1\tOK\t") !=
          std::u16string::npos);

    // Through the list's selection and the clipboard.
    ApplyWindowViewChanges(f.app);
    CHECK(CopySelectedRows(f.app) == 0); // nothing selected: the clipboard is left alone
    CHECK(HeadlessModel()->clipboardSets == 0);
    HeadlessSelectItem(0, true);
    HeadlessSelectItem(2, true);
    CHECK(CopySelectedRows(f.app) == 2);
    std::u16string clip = HeadlessModel()->clipboard;
    CHECK(clip.rfind(header, 0) == 0);
    CHECK(clip.find(u"Opened file") != std::u16string::npos);
    CHECK(clip.find(u"Connected") != std::u16string::npos);
    CHECK(clip.find(u"Wrote") == std::u16string::npos);
    HeadlessSetClipboardFails(true);
    CHECK(CopySelectedRows(f.app) == 0);
    HeadlessSetClipboardFails(false);

    // Copy Cell: the cell as shown, written by the same rules.
    CHECK(CopyCell(f.app, 1, 5));
    CHECK(std::u16string(HeadlessModel()->clipboard) == u"HKCU\\Run[U+000D][U+000A]evil | =1+1");
    CHECK(CopyCell(f.app, 0, 2));
    CHECK(std::u16string(HeadlessModel()->clipboard) == u"100 (a.exe)");
    CHECK_FALSE(CopyCell(f.app, 3, 0));

    // Memory refused: nothing is copied and nothing leaks.
    for (int nth = 1; nth <= 3; ++nth) {
        CAPTURE(nth);
        RefuseNthAllocation(nth);
        const uint32_t sets = HeadlessModel()->clipboardSets;
        CopySelectedRows(f.app);
        ResetAllocationFaults();
        CHECK(HeadlessModel()->clipboardSets == sets);
    }
}

TEST_CASE("a copy grows past its first estimate for rows with long texts") {
    Fixture f;
    std::u16string longPath(1000, u'p');
    for (int i = 0; i < 50; ++i)
        f.Add(u"Opened file", longPath.c_str(), u"\t\t\t\t\t\t\t\t\t\t");
    std::vector<int32_t> items;
    for (int i = 0; i < 50; ++i)
        items.push_back(i);
    size_t length = 0;
    char16_t* text = BuildCopyText(f.app, items.data(), 50, &length);
    REQUIRE(text != nullptr);
    const std::u16string copied(text, length);
    FreeBlock(text);
    CHECK(std::count(copied.begin(), copied.end(), u'\n') == 51);
    CHECK(copied.size() > 50 * (1000 + 80));
}

TEST_CASE("a cell's tooltip shows only when its column cuts the text") {
    struct Case {
        int text, column, dpi;
        bool cut;
    };
    const Case cases[] = {
        {100, 112, 96, false}, {101, 112, 96, true}, {0, 10, 96, false},
        {100, 115, 120, false}, {100, 114, 120, true}, {300, 200, 0, true},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CAPTURE(c.dpi);
        CHECK(CellTextIsCut(c.text, c.column, c.dpi) == c.cut);
    }
}
