// The facts record of a row: laid out by kind, interned (rows with the same facts share one
// record), an unknown fact never read as an empty one, and every malformed record refused.
#include "doctest.h"

#include <string>

#include "record/compact_row.h"
#include "record/row_facts.h"

namespace olv {

namespace {

struct StoreGuard {
    TextStore store{};
    ~StoreGuard() { FreeTextStore(&store); }
};

uint32_t Text(TextStore* store, const std::u16string& text) {
    uint32_t id = 0;
    REQUIRE(InternText(store, text.data(), text.size(), &id));
    return id;
}

std::u16string Read(TextView view) {
    std::u16string s(view.length, u'\0');
    CopyTextUnits(view, s.data());
    return s;
}

RowFacts ImageFactsWith(TextStore* store, const std::u16string& original) {
    RowFacts facts{};
    facts.layout = kFactsLayoutProcess;
    facts.known = (1u << kFactOriginalFileName) | (1u << kFactCompany) | (1u << kFactSigned) |
                  (1u << kFactUser);
    facts.text[kFactOriginalFileName] = Text(store, original);
    facts.text[kFactCompany] = 0; // known and empty
    facts.text[kFactSigned] = Text(store, u"true");
    facts.text[kFactUser] = Text(store, u"VM\\analyst");
    return facts;
}

} // namespace

TEST_CASE("Each kind that has facts has its layout, and the layouts hold what rules ask of it") {
    CHECK(FactsLayoutOfKind(RowKind::StartedProcess) == kFactsLayoutProcess);
    CHECK(FactsLayoutOfKind(RowKind::StartedChildProcess) == kFactsLayoutProcess);
    CHECK(FactsLayoutOfKind(RowKind::LoadedDll) == kFactsLayoutImage);
    CHECK(FactsLayoutOfKind(RowKind::WroteRegistryValue) == kFactsLayoutRegistry);
    CHECK(FactsLayoutOfKind(RowKind::DeletedRegistryValue) == kFactsLayoutNone);
    CHECK(FactsLayoutOfKind(RowKind::Other) == kFactsLayoutNone);
    // A process start holds its image's facts and its token's; an image load no token.
    CHECK((FactsOfLayout(kFactsLayoutProcess) & (1u << kFactParentUser)) != 0);
    CHECK((FactsOfLayout(kFactsLayoutImage) & (1u << kFactUser)) == 0);
    CHECK((FactsOfLayout(kFactsLayoutImage) & (1u << kFactSignatureStatus)) != 0);
    CHECK(FactsOfLayout(kFactsLayoutRegistry) == (1u << kFactDetails));
    CHECK(FactsRecordUnits(kFactsLayoutRegistry) == 5);
    CHECK(FactsRecordUnits(kFactsLayoutProcess) == 3 + 2 * 18);
    CHECK(std::string(RowFactName(kFactOriginalFileName)) == "OriginalFileName");
    CHECK(std::string(RowFactName(kFactDetails)) == "Details");
}

TEST_CASE("A facts record comes back as stored, shared by the rows with the same facts") {
    StoreGuard g;
    const RowFacts facts = ImageFactsWith(&g.store, u"cmd.exe");
    uint32_t a = 0, b = 0, c = 0;
    REQUIRE(InternFacts(&g.store, facts, &a));
    REQUIRE(InternFacts(&g.store, facts, &b));
    CHECK(a == b);
    REQUIRE(InternFacts(&g.store, ImageFactsWith(&g.store, u"CMD.EXE"), &c));
    CHECK(c != a);

    CompactRow row{};
    row.kind = static_cast<uint16_t>(RowKind::StartedProcess);
    row.facts = a;
    RowFacts back{};
    REQUIRE(FactsOf(&g.store, row, &back));
    CHECK(back.layout == kFactsLayoutProcess);
    CHECK(back.known == facts.known);
    CHECK(Read(FactTextOf(&g.store, back, kFactOriginalFileName)) == u"cmd.exe");
    CHECK(Read(FactTextOf(&g.store, back, kFactUser)) == u"VM\\analyst");
    // Known and empty, against not known: both read as the empty text, only one is known.
    CHECK(FactKnown(back, kFactCompany));
    CHECK_FALSE(FactKnown(back, kFactProduct));
    CHECK(FactTextOf(&g.store, back, kFactCompany).length == 0);

    // Copied into another store: the same texts under that store's ids.
    StoreGuard other;
    Text(&other.store, u"something first");
    uint32_t copied = 0;
    REQUIRE(CopyFacts(&g.store, a, &other.store, &copied));
    row.facts = copied;
    REQUIRE(FactsOf(&other.store, row, &back));
    CHECK(back.known == facts.known);
    CHECK(Read(FactTextOf(&other.store, back, kFactSigned)) == u"true");
    CHECK(CopyFacts(&g.store, 0, &other.store, &copied));
    CHECK(copied == 0);

    // No facts, or an id naming some other text: nothing known.
    row.facts = 0;
    CHECK_FALSE(FactsOf(&g.store, row, &back));
    row.facts = facts.text[kFactUser];
    CHECK_FALSE(FactsOf(&g.store, row, &back));
    CHECK(back.known == 0);
    CHECK_FALSE(CopyFacts(&g.store, facts.text[kFactUser], &other.store, &copied));
}

TEST_CASE("A facts record that breaks its layout is neither stored nor read") {
    StoreGuard g;
    uint32_t id = 0;
    RowFacts facts{};
    facts.layout = kFactsLayoutNone;
    CHECK_FALSE(InternFacts(&g.store, facts, &id));
    facts.layout = kFactsLayoutImage;
    facts.known = 1u << kFactUser; // not an image's fact
    CHECK_FALSE(InternFacts(&g.store, facts, &id));
    facts.known = 0;
    facts.text[kFactDescription] = Text(&g.store, u"unknown yet named");
    CHECK_FALSE(InternFacts(&g.store, facts, &id));
    CHECK(TextCount(&g.store) == 2);

    // Records as a damaged file may hold them.
    auto read = [&](std::u16string units) {
        RowFacts out{};
        const uint32_t text = Text(&g.store, units);
        return ReadFactsRecord(TextOfId(&g.store, text), &out);
    };
    const char16_t tag = kFactsTag | kFactsLayoutRegistry;
    // Details is bit 17: the known mask's high unit is 2.
    CHECK(read(std::u16string{tag, 0, 2, 5, 0}));
    CHECK(read(std::u16string{tag, 0, 0, 0, 0}));
    CHECK_FALSE(read(std::u16string{tag, 0, 2, 5}));               // short
    CHECK_FALSE(read(std::u16string{tag, 0, 2, 5, 0, 0}));         // long
    CHECK_FALSE(read(std::u16string{u'H', 0, 2, 5, 0}));           // no tag
    CHECK_FALSE(read(std::u16string{kFactsTag | 7, 0, 2, 5, 0}));  // no such layout
    CHECK_FALSE(read(std::u16string{kFactsTag, 0, 2, 5, 0}));      // layout None
    CHECK_FALSE(read(std::u16string{tag, 1, 2, 5, 0}));            // a bit outside it
    CHECK_FALSE(read(std::u16string{tag, 0, 0, 5, 0}));            // unknown, yet named

    // A process start's record as written before it held its folder: read, the folder unknown.
    const uint32_t units = FactsRecordUnits(kFactsLayoutProcess);
    std::u16string older(units - 2, u'\0');
    older[0] = kFactsTag | kFactsLayoutProcess;
    older[1] = 1u << kFactOriginalFileName;
    older[3] = static_cast<char16_t>(Text(&g.store, u"cmd.exe"));
    RowFacts out{};
    REQUIRE(ReadFactsRecord(TextOfId(&g.store, Text(&g.store, older)), &out));
    CHECK(out.known == 1u << kFactOriginalFileName);
    CHECK_FALSE(FactKnown(out, kFactCurrentDirectory));
    older[2] = static_cast<char16_t>((1u << kFactCurrentDirectory) >> 16); // it cannot hold it
    CHECK_FALSE(ReadFactsRecord(TextOfId(&g.store, Text(&g.store, older)), &out));
    CHECK_FALSE(read(std::u16string(units - 1, tag)));
    // The record as written now carries it.
    RowFacts start{};
    start.layout = kFactsLayoutProcess;
    start.known = 1u << kFactCurrentDirectory;
    start.text[kFactCurrentDirectory] = Text(&g.store, u"C:\\Work\\");
    id = 0;
    REQUIRE(InternFacts(&g.store, start, &id));
    REQUIRE(ReadFactsRecord(TextOfId(&g.store, id), &out));
    CHECK(out.text[kFactCurrentDirectory] == start.text[kFactCurrentDirectory]);
    CHECK(std::string(RowFactName(kFactCurrentDirectory)) == "CurrentDirectory");
}

} // namespace olv
