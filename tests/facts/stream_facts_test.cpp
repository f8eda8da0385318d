// The text of a short stream: only what is text in either form a program writes, whole or not
// at all.
#include "doctest.h"

#include <string>

#include "facts/stream_facts.h"
#include "support/text_check.h"

using namespace olv;

namespace {

bool Text(const std::string& bytes, std::u16string* out) {
    char16_t text[kStreamTextChars];
    const bool ok = StreamTextOfBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                      text);
    *out = text;
    return ok;
}

} // namespace

TEST_CASE("stream text: UTF-8 with or without its mark, UTF-16 with its mark, nothing else") {
    std::u16string out;
    CHECK(Text("[ZoneTransfer]\r\nZoneId=3\r\n", &out));
    CHECK(out == u"[ZoneTransfer]\r\nZoneId=3\r\n");
    CHECK(Text("\xEF\xBB\xBF" "caf\xC3\xA9\t\xF0\x9F\x98\x80", &out));
    CHECK(out == u"caf\u00E9\t\U0001F600");
    CHECK(Text(std::string("\xFF\xFE" "h\0i\0", 6), &out));
    CHECK(out == u"hi");
    CHECK(Text("", &out));
    CHECK(out.empty());
    const struct {
        std::string bytes;
        const char* why;
    } refused[] = {
        {std::string("MZ\x90" "\0", 4), "a program"},
        {std::string("a\0b", 3), "a NUL"},
        {"a\x1b" "[0m", "an escape"},
        {"\xC0" "\xAF", "an overlong form"},
        {"\xED\xA0\x80", "a surrogate"},
        {"caf" "\xC3", "cut short"},
        {"\xF5\x80\x80\x80", "past the last plane"},
        {std::string("\xFF\xFE" "h\0i", 5), "half a unit"},
        {std::string("\xFF\xFE\x07" "\0", 4), "a bell in UTF-16"},
        {std::string(kStreamTextBytes + 1, 'a'), "longer than a short stream"},
    };
    for (const auto& r : refused) {
        CAPTURE(r.why);
        CHECK_FALSE(Text(r.bytes, &out));
        CHECK(out.empty());
    }
    CHECK(Text(std::string(kStreamTextBytes, 'a'), &out));
    CHECK(out.size() == kStreamTextBytes);
}
