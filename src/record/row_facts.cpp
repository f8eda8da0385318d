#include "record/row_facts.h"

#include "record/compact_row.h"

namespace olv {

namespace {

constexpr uint32_t kImageFacts = (1u << kFactOriginalFileName) | (1u << kFactDescription) |
                                 (1u << kFactProduct) | (1u << kFactCompany) |
                                 (1u << kFactFileVersion) | (1u << kFactHashes) |
                                 (1u << kFactMd5) | (1u << kFactSha1) | (1u << kFactSha256) |
                                 (1u << kFactImphash) | (1u << kFactSigned) |
                                 (1u << kFactSignature) | (1u << kFactSignatureStatus);
constexpr uint32_t kTokenFacts = (1u << kFactUser) | (1u << kFactIntegrityLevel) |
                                 (1u << kFactLogonId) | (1u << kFactParentUser);
// The largest record: every fact.
constexpr uint32_t kMostRecordUnits = 3 + 2 * kRowFactCount;

constexpr const char* kFactNames[kRowFactCount] = {
    "OriginalFileName", "Description", "Product",  "Company",   "FileVersion",
    "Hashes",           "md5",         "sha1",     "sha256",    "Imphash",
    "Signed",           "Signature",   "SignatureStatus",       "User",
    "IntegrityLevel",   "LogonId",     "ParentUser",            "Details",
    "Hash",             "Contents",    "CurrentDirectory",      "StartFunction"};

uint32_t BitCount(uint32_t mask) {
    uint32_t n = 0;
    for (; mask != 0; mask &= mask - 1)
        ++n;
    return n;
}

} // namespace

const char* RowFactName(RowFact fact) {
    return fact < kRowFactCount ? kFactNames[fact] : "";
}

RowFactsLayout FactsLayoutOfKind(RowKind kind) {
    switch (kind) {
    case RowKind::StartedProcess:
    case RowKind::StartedChildProcess: return kFactsLayoutProcess;
    case RowKind::LoadedDll:
    case RowKind::LoadedDriver: return kFactsLayoutImage;
    case RowKind::WroteRegistryValue: return kFactsLayoutRegistry;
    case RowKind::WroteAlternateDataStream: return kFactsLayoutStream;
    case RowKind::CreatedThreadInAnotherProcess: return kFactsLayoutThread;
    default: return kFactsLayoutNone;
    }
}

uint32_t FactsOfLayout(RowFactsLayout layout) {
    switch (layout) {
    case kFactsLayoutImage: return kImageFacts;
    case kFactsLayoutProcess: return kImageFacts | kTokenFacts | (1u << kFactCurrentDirectory);
    case kFactsLayoutRegistry: return 1u << kFactDetails;
    case kFactsLayoutStream: return (1u << kFactHash) | (1u << kFactContents);
    case kFactsLayoutThread: return 1u << kFactStartFunction;
    default: return 0;
    }
}

uint32_t FactsRecordUnits(RowFactsLayout layout) {
    const uint32_t facts = FactsOfLayout(layout);
    return facts == 0 ? 0 : 3 + 2 * BitCount(facts);
}

bool InternFacts(TextStore* store, const RowFacts& facts, uint32_t* id) {
    const uint32_t all = FactsOfLayout(facts.layout);
    if (all == 0 || (facts.known & ~all) != 0) return false;
    char16_t units[kMostRecordUnits];
    units[0] = static_cast<char16_t>(kFactsTag | facts.layout);
    units[1] = static_cast<char16_t>(facts.known & 0xFFFF);
    units[2] = static_cast<char16_t>(facts.known >> 16);
    uint32_t n = 3;
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if ((all & (1u << f)) == 0) continue;
        const bool known = (facts.known & (1u << f)) != 0;
        if (!known && facts.text[f] != 0) return false;
        units[n++] = static_cast<char16_t>(facts.text[f] & 0xFFFF);
        units[n++] = static_cast<char16_t>(facts.text[f] >> 16);
    }
    return InternText(store, units, n, id);
}

bool ReadFactsRecord(TextView view, RowFacts* facts) {
    *facts = RowFacts{};
    if (view.length < 3 || view.length > kMostRecordUnits) return false;
    const char16_t tag = TextUnitAt(view, 0);
    const uint32_t layout = tag & 0x0F;
    if ((tag & 0xFFF0) != kFactsTag || layout == kFactsLayoutNone || layout >= kFactsLayoutCount)
        return false;
    const auto which = static_cast<RowFactsLayout>(layout);
    uint32_t all = FactsOfLayout(which);
    if (which == kFactsLayoutProcess && view.length + 2 == FactsRecordUnits(which)) {
        all &= ~(1u << kFactCurrentDirectory); // written before the folder was a fact
    } else if (view.length != FactsRecordUnits(which)) {
        return false;
    }
    const uint32_t known = uint32_t{TextUnitAt(view, 1)} | (uint32_t{TextUnitAt(view, 2)} << 16);
    if ((known & ~all) != 0) return false;
    RowFacts read{};
    read.layout = which;
    read.known = known;
    uint32_t n = 3;
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if ((all & (1u << f)) == 0) continue;
        const uint32_t text = uint32_t{TextUnitAt(view, n)} | (uint32_t{TextUnitAt(view, n + 1)} << 16);
        n += 2;
        if (text != 0 && (known & (1u << f)) == 0) return false;
        read.text[f] = text;
    }
    *facts = read;
    return true;
}

bool FactsOf(const TextStore* store, const CompactRow& row, RowFacts* facts) {
    *facts = RowFacts{};
    if (row.facts == 0) return false;
    return ReadFactsRecord(TextOfId(store, row.facts), facts);
}

TextView FactTextOf(const TextStore* store, const RowFacts& facts, RowFact fact) {
    if (fact >= kRowFactCount || !FactKnown(facts, fact)) return TextOfId(store, 0);
    return TextOfId(store, facts.text[fact]);
}

bool CopyFacts(const TextStore* from, uint32_t id, TextStore* to, uint32_t* out) {
    *out = 0;
    if (id == 0) return true;
    RowFacts facts{};
    if (!ReadFactsRecord(TextOfId(from, id), &facts)) return false;
    char16_t units[kFactChars];
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if (facts.text[f] == 0) continue;
        const TextView text = TextOfId(from, facts.text[f]);
        if (text.length >= kFactChars) return false;
        CopyTextUnits(text, units);
        if (!InternText(to, units, text.length, &facts.text[f])) return false;
    }
    return InternFacts(to, facts, out);
}

} // namespace olv
