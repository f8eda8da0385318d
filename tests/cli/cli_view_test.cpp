// The console program's view options as a view: they narrow it, and name operations as learned.
#include <string>

#include "app/recording_setup.h"
#include "base/text.h"
#include "cli/cli_run.h"
#include "doctest.h"
#include "record/view_spec.h"

using namespace olv;

TEST_CASE("view options: --operation by exact name, then without case, else as given") {
    static Recording app; // large: not on the stack; only the learned names are used
    app.operationNameCount = 3;
    CopyBounded(app.operationNames[0], kOperationNameChars, u"read file");
    CopyBounded(app.operationNames[1], kOperationNameChars, u"Read file");
    CopyBounded(app.operationNames[2], kOperationNameChars, u"Wrote file");
    const std::u16string longText(80, u'a');
    const struct {
        const char16_t* given;
        std::u16string named;
    } cases[] = {
        {u"Read file", u"Read file"},
        {u"READ FILE", u"read file"}, // the first learned of the two
        {u"wrote FILE", u"Wrote file"},
        {u"Teleported", u"Teleported"},
        // Cut, it ends in an ellipsis, so it cannot name a real operation.
        {longText.c_str(), std::u16string(kOperationNameChars - 2, u'a') + u"\u2026"},
    };
    for (const auto& c : cases) {
        CliOptions options{};
        options.operation = c.given;
        ViewSpec view = DefaultViewSpec();
        CliViewFromOptions(&app, &options, &view);
        CHECK(std::u16string(view.operation) == c.named);
    }

    // The other options narrow the view and leave the rest as it was.
    CliOptions options{};
    options.hide[kCategoryRegistry] = 1;
    options.suspicious = 1;
    const std::u16string longFilter(300, u'f');
    options.filter = longFilter.c_str();
    ViewSpec view = DefaultViewSpec();
    view.sortBy = 3;
    CliViewFromOptions(&app, &options, &view);
    CHECK((view.categoryOn[kCategoryFile] == 1 && view.categoryOn[kCategoryRegistry] == 0));
    CHECK((view.suspiciousOnly == 1 && view.operation[0] == 0 && view.sortBy == 3));
    CHECK(std::u16string(view.filter) == std::u16string(kFilterTextChars, u'f')); // as the box
}
