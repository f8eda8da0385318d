// DNS client provider: the start and the completion of a lookup by a followed process, as
// Network rows named by the name looked up.
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"

namespace olv {

namespace {

constexpr uint16_t kDnsQueryEvent = 3006;
constexpr uint16_t kDnsAnswerEvent = 3008;
constexpr size_t kQueryNameChars = 512;
constexpr size_t kQueryResultsChars = 1024;
constexpr size_t kAnswerChars = 200;
constexpr size_t kItemChars = 256; // 255 characters and the terminator

struct DnsType {
    uint32_t value;
    const char16_t* name;
};

const DnsType kDnsTypes[] = {
    {1, u"A"},    {2, u"NS"},    {5, u"CNAME"}, {6, u"SOA"},    {12, u"PTR"},  {15, u"MX"},
    {16, u"TXT"}, {28, u"AAAA"}, {33, u"SRV"},  {65, u"HTTPS"}, {255, u"ANY"},
};

bool IsBlank(char16_t c) {
    return c == u' ';
}

// Appends one gathered item to the list: a leading "type:" and its number are removed, an
// item with nothing left is skipped.
void AppendResultItem(const char16_t* item, char16_t* out, size_t capacity, bool* wroteItem) {
    const char16_t* p = item;
    while (IsBlank(*p))
        ++p;
    if (TextStartsWith(p, u"type:")) {
        p += 5;
        while (IsBlank(*p))
            ++p;
        while (*p >= u'0' && *p <= u'9')
            ++p;
        while (IsBlank(*p))
            ++p;
    }
    if (*p == 0) return;
    if (*wroteItem) AppendBounded(out, capacity, u", ");
    AppendBounded(out, capacity, p);
    *wroteItem = true;
}

} // namespace

const char16_t* DnsTypeName(uint32_t queryType) {
    for (const DnsType& type : kDnsTypes) {
        if (type.value == queryType) return type.name;
    }
    return u"?";
}

void FormatDnsResults(const char16_t* results, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (results == nullptr) return;
    char16_t item[kItemChars];
    size_t itemLength = 0;
    bool wroteItem = false;
    for (const char16_t* p = results;; ++p) {
        if (*p == u';' || *p == 0) {
            item[itemLength] = 0;
            AppendResultItem(item, out, capacity, &wroteItem);
            itemLength = 0;
            if (*p == 0) return;
            continue;
        }
        if (itemLength + 1 < kItemChars) item[itemLength++] = *p;
    }
}

bool DecodeDnsEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                    RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    if (!IsProcessFollowed(ts, event->header.processId, t)) return false;
    const uint16_t id = event->header.descriptor.id;
    if (id != kDnsQueryEvent && id != kDnsAnswerEvent) return false;
    StartRow(event, row);
    *kind = SetRowKind(row, id == kDnsQueryEvent ? RowKind::DnsQuery : RowKind::DnsAnswer);

    char16_t name[kQueryNameChars];
    ReadWideStringProperty(event, u"QueryName", name, kQueryNameChars);
    CopyBounded(row->path, kPathChars, name[0] != 0 ? name : u"(empty)");
    const char16_t* typeName = DnsTypeName(ReadIntProperty(event, u"QueryType"));

    if (id == kDnsQueryEvent) {
        FormatText(row->detail, kDetailChars, u"Type: %s", typeName);
        CopyBounded(row->result, kResultChars, u"...");
        return true;
    }

    const uint32_t status = ReadIntProperty(event, u"QueryStatus");
    char16_t results[kQueryResultsChars];
    ReadWideStringProperty(event, u"QueryResults", results, kQueryResultsChars);
    char16_t answers[kAnswerChars];
    FormatDnsResults(results, answers, kAnswerChars);
    if (answers[0] != 0) {
        FormatText(row->detail, kDetailChars, u"%s \u2192 ", typeName);
        AppendBounded(row->detail, kDetailChars, answers);
    } else {
        FormatText(row->detail, kDetailChars, u"Type: %s", typeName);
    }
    if (status != 0) {
        FormatText(row->result, kResultChars, u"FAIL %lu", status);
    } else {
        CopyBounded(row->result, kResultChars, u"OK");
    }
    return true;
}

} // namespace olv
