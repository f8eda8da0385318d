// The "Filter..." box takes exactly the characters the text filter uses.
#include "app/window_layout.h"
#include "views/row_store.h"

#include <string>

#include "app/recording_setup.h"
#include "app/commands.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/stored_rows.h"

using namespace olv;

TEST_CASE("the filter box is limited to the characters the filter uses, and it uses them all") {
    // The control table gives the box the filter's length as its text limit; no other box has one.
    for (const ControlSpec& spec : kMainControls) {
        CAPTURE(spec.id);
        CHECK(spec.textLimit == (spec.id == kIdFilterEdit ? kFilterTextChars : 0u));
    }

    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    // Rows that differ only in their last character of a filter-long text.
    const std::u16string common(kFilterTextChars - 1, u'a');
    for (const char16_t last : {u'b', u'c'}) {
        EventRow row{};
        row.category = kCategoryFile;
        CopyBounded(row.path, kPathChars, (common + last).c_str());
        AppendRow(app, &row);
    }
    REQUIRE(app->shownCount == 2);
    // Every one of the box's characters filters: the last one tells the rows apart.
    UiSetText(app->window->filterEdit, (common + u'B').c_str());
    DispatchCommand(app, (uintptr_t{kEnChange} << 16) | kIdFilterEdit);
    CHECK(app->shownCount == 1);
    char16_t path[kPathChars];
    CopyStoredText(app, app->shownRows[0], kTextPath, path, kPathChars);
    CHECK(TextEndsWith(path, u"ab"));
    UiSetText(app->window->filterEdit, (common + u'x').c_str());
    DispatchCommand(app, (uintptr_t{kEnChange} << 16) | kIdFilterEdit);
    CHECK(app->shownCount == 0);
    CleanUpRecording(app);
    FreeBlock(app);
}
