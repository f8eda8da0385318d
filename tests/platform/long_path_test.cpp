// The extended-length form of long paths, which the Windows file calls are given.
#include "doctest.h"

#include <string>

#include "platform/long_path.h"
#include "support/text_check.h"

namespace olv {

namespace {

std::string Extended(const std::u16string& path, size_t capacity = 2048) {
    std::u16string out(capacity, u'#');
    if (!ExtendedLengthPath(path.c_str(), out.data(), capacity)) {
        CHECK(out[0] == 0);
        return "refused";
    }
    return U8(out.c_str());
}

} // namespace

TEST_CASE("which paths need the extended form, and what it is") {
    const std::u16string tail(kPlainPathLimit, u'x');
    CHECK_FALSE(NeedsExtendedForm(nullptr));
    CHECK_FALSE(NeedsExtendedForm(std::u16string(kPlainPathLimit - 1, u'x').c_str()));
    CHECK(NeedsExtendedForm(tail.c_str()));
    CHECK_FALSE(NeedsExtendedForm((u"\\\\?\\C:\\" + tail).c_str()));
    CHECK_FALSE(NeedsExtendedForm((u"\\\\.\\pipe\\" + tail).c_str()));

    CHECK(Extended(u"C:\\a\\b.csv") == "\\\\?\\C:\\a\\b.csv");
    CHECK(Extended(u"d:/a/b.csv") == "\\\\?\\d:\\a\\b.csv"); // taken literally: no '/' may stay
    CHECK(Extended(u"\\\\server\\share\\a.json") == "\\\\?\\UNC\\server\\share\\a.json");
    CHECK(Extended(u"//server/share/a") == "\\\\?\\UNC\\server\\share\\a");
    CHECK(Extended(u"\\\\?\\C:\\a") == "\\\\?\\C:\\a");
    CHECK(Extended(u"\\\\?\\UNC\\s\\h\\a") == "\\\\?\\UNC\\s\\h\\a");
    // Not full: relative, drive-relative, rooted without a drive, a server without a share.
    for (const char16_t* partial : {u"a\\b", u"C:a\\b", u"\\a\\b", u"\\\\server", u"\\\\server\\",
                                    u"\\\\\\share\\a", u""}) {
        CAPTURE(U8(partial));
        CHECK(Extended(partial) == "refused");
    }
    char16_t out[8] = {u'#'};
    CHECK_FALSE(ExtendedLengthPath(nullptr, out, 8));
    CHECK(out[0] == 0);
    // The result and its terminator must fit.
    CHECK(Extended(u"C:\\ab", 10) == "\\\\?\\C:\\ab");
    CHECK(Extended(u"C:\\abc", 10) == "refused");
    CHECK(Extended(u"\\\\s\\h\\abc", 16) == "\\\\?\\UNC\\s\\h\\abc");
    CHECK(Extended(u"\\\\s\\h\\abcd", 16) == "refused");
}

} // namespace olv
