// The console program's view options as a view: the options narrow it, nothing else.
#include <string>

#include "app/app_state.h"
#include "base/text.h"
#include "cli/cli_run.h"
#include "doctest.h"
#include "record/view_spec.h"

using namespace olv;

namespace {

// An AppState is large: kept static, with the learned operation names the tests need.
AppState* WithOperations(std::initializer_list<const char16_t*> names) {
    static AppState app;
    app.operationNameCount = 0;
    for (const char16_t* name : names)
        CopyBounded(app.operationNames[app.operationNameCount++], kOperationNameChars, name);
    return &app;
}

std::u16string OperationFor(const AppState* app, const char16_t* given) {
    CliOptions options{};
    options.operation = given;
    ViewSpec view = DefaultViewSpec();
    CliViewFromOptions(app, &options, &view);
    return view.operation;
}

} // namespace

TEST_CASE("--operation: the exact name first, then one equal without case, else the text") {
    const AppState* app = WithOperations({u"read file", u"Read file", u"Wrote file"});
    CHECK(OperationFor(app, u"Read file") == u"Read file");
    CHECK(OperationFor(app, u"read file") == u"read file");
    CHECK(OperationFor(app, u"READ FILE") == u"read file"); // the first learned of the two
    CHECK(OperationFor(app, u"wrote FILE") == u"Wrote file");
    CHECK(OperationFor(app, u"Teleported") == u"Teleported");
    // A text too long for a name ends in an ellipsis, so its cut form cannot name a real one.
    const std::u16string longText(80, u'a');
    const std::u16string named = OperationFor(app, longText.c_str());
    CHECK(named == std::u16string(kOperationNameChars - 2, u'a') + u"\u2026");
}

TEST_CASE("the view options narrow the view and leave the rest as it was") {
    const AppState* app = WithOperations({u"Read file"});
    CliOptions options{};
    ViewSpec view = DefaultViewSpec();
    view.sortBy = 3;
    CliViewFromOptions(app, &options, &view);
    const ViewSpec untouched = DefaultViewSpec();
    CHECK(std::u16string(view.filter).empty());
    CHECK(view.categoryOn[kCategoryFile] == untouched.categoryOn[kCategoryFile]);

    options.hide[kCategoryRegistry] = 1;
    options.hide[kCategoryProcess] = 1;
    options.suspicious = 1;
    const std::u16string longFilter(300, u'f');
    options.filter = longFilter.c_str();
    CliViewFromOptions(app, &options, &view);
    CHECK(view.categoryOn[kCategoryFile] == 1);
    CHECK(view.categoryOn[kCategoryRegistry] == 0);
    CHECK(view.categoryOn[kCategoryNetwork] == 1);
    CHECK(view.categoryOn[kCategoryProcess] == 0);
    CHECK(view.suspiciousOnly == 1);
    CHECK(view.operation[0] == 0);
    CHECK(std::u16string(view.filter) == std::u16string(kFilterTextChars, u'f')); // as the box
    CHECK(view.sortBy == 3);
    CHECK(view.sigmaRule == -1);
}
