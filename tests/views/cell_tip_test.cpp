// The event list's tooltip: the cut cell's text and the facts of a process start.
#include "views/cell_tip.h"

#include <string>

#include "app/lifecycle.h"
#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "record/stored_rows.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct TipFixture : HeadlessRecording {
    int32_t Add(uint32_t category, const char16_t* operation, const char16_t* path) {
        EventRow row{};
        row.category = category;
        row.pid = 40 + static_cast<uint32_t>(app->rowCount);
        row.parentPid = 8;
        row.time = SystemTime{2026, 12, 0, 6, 9, 8, 7, 654};
        CopyBounded(row.process, kProcessChars, u"x.exe");
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path);
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    std::string Facts(int item) {
        char16_t out[2048];
        const int32_t lines = ListTipFacts(app, item, out, 2048);
        CHECK((lines == 0) == (out[0] == 0));
        return U8(out);
    }
};

std::string Tip(const char16_t* cell, bool cut, const char16_t* facts) {
    char16_t out[256];
    ComposeCellTip(cell, cut, facts, out, 256);
    return U8(out);
}

} // namespace

TEST_CASE_FIXTURE(TipFixture, "a process start's tooltip names its signer and original file name") {
    const int32_t signedStart = Add(kCategoryProcess, u"Started child process", u"C:\\a.exe");
    const int32_t unsignedStart = Add(kCategoryProcess, u"Started child process", u"C:\\b.exe");
    const int32_t bare = Add(kCategoryProcess, u"Started child process", u"C:\\c.exe");
    const int32_t valid = Add(kCategoryProcess, u"Started child process", u"C:\\d.exe");
    const int32_t write = Add(kCategoryFile, u"Wrote to file", u"C:\\e.txt");

    RowFactTexts given{};
    given.known = (1u << kFactSignature) | (1u << kFactSignatureStatus) | (1u << kFactSigned) |
                  (1u << kFactOriginalFileName) | (1u << kFactUser);
    given.text[kFactSignature] = u"Example Signer";
    given.text[kFactSignatureStatus] = u"Expired";
    given.text[kFactSigned] = u"true";
    given.text[kFactOriginalFileName] = u"cmd\u202e.exe"; // a reordering mark is spelled out
    given.text[kFactUser] = u"VM\\analyst";
    REQUIRE(SetStoredFacts(app, signedStart, given));
    CHECK(Facts(signedStart) ==
          "Signer: Example Signer (Expired)\r\nOriginal file name: cmd[U+202E].exe");

    // Not signed: said so; an empty original name is left out like an unknown one.
    RowFactTexts none{};
    none.known = (1u << kFactSigned) | (1u << kFactSignature) | (1u << kFactOriginalFileName);
    none.text[kFactSigned] = u"false";
    none.text[kFactSignature] = u"";
    none.text[kFactOriginalFileName] = u"";
    REQUIRE(SetStoredFacts(app, unsignedStart, none));
    CHECK(Facts(unsignedStart) == "Signer: none, not signed");

    // Only the token known: no line; no facts at all: no line.
    RowFactTexts token{};
    token.known = 1u << kFactUser;
    token.text[kFactUser] = u"VM\\analyst";
    REQUIRE(SetStoredFacts(app, bare, token));
    CHECK(Facts(bare).empty());

    // A valid signature needs no status; the signing state unknown says nothing of it.
    RowFactTexts good{};
    good.known = (1u << kFactSignature) | (1u << kFactSignatureStatus);
    good.text[kFactSignature] = u"Example Signer";
    good.text[kFactSignatureStatus] = u"Valid";
    REQUIRE(SetStoredFacts(app, valid, good));
    CHECK(Facts(valid) == "Signer: Example Signer");

    CHECK(Facts(write).empty()); // a row of no process start
    CHECK(Facts(-1).empty());
    CHECK(Facts(app->shownCount).empty());
}

TEST_CASE("the tooltip joins the cut cell's text and the facts lines") {
    CHECK(Tip(u"C:\\a.exe /x", true, u"Signer: S") == "C:\\a.exe /x\r\nSigner: S");
    CHECK(Tip(u"C:\\a.exe /x", false, u"Signer: S") == "Signer: S");
    CHECK(Tip(u"C:\\a.exe /x", true, u"") == "C:\\a.exe /x");
    CHECK(Tip(u"C:\\a.exe /x", false, nullptr).empty());
    // Bounded: a long cell leaves the tip terminated within its room.
    std::u16string wide(1000, u'w');
    char16_t small[16];
    ComposeCellTip(wide.c_str(), true, u"Signer: S", small, 16);
    CHECK(TextLength(small) == 15);
}
