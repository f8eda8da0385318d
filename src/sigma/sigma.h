// Sigma rules: detection rules in the community's open YAML format, read from a folder, compiled
// once and matched against what each recorded row is to the rules (its field view).
//
// Two halves meet here:
//   - the rule engine (sigma_load*.cpp, sigma_match*.cpp): reads rule files, refuses what it
//     cannot apply faithfully (with one reason per file), compiles the rest and matches views;
//   - the field view (sigma_view*.cpp): what a row of the recording is to the rules, by category
//     and field, built from the rows and what the recording learned before them.
// Matching never runs on a trace thread; a rule set is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// The log source categories a row can belong to (a bit each in SigmaEventView::categories).
enum SigmaCategory : uint32_t {
    kSigmaProcessCreation = 0,
    kSigmaImageLoad,
    kSigmaFileEvent,
    kSigmaFileDelete,
    kSigmaRegistryAdd,
    kSigmaRegistryDelete,
    kSigmaRegistrySet,
    kSigmaRegistryEvent, // every registry_add, registry_delete and registry_set row is one too
    kSigmaNetworkConnection,
    kSigmaDnsQuery,
    // Pipes, streams, file reads and renames, whole-disk opens, and the DNS client's own log (a
    // log source named by its service, dns-client, rather than by a category).
    kSigmaPipeCreated,
    kSigmaCreateStreamHash,
    kSigmaFileAccess,
    kSigmaFileRename,
    kSigmaRawAccessThread,
    kSigmaDnsClient,
    kSigmaPsScript,
    kSigmaPsModule,
    // Another process opened; a driver loaded into the system.
    kSigmaProcessAccess,
    kSigmaDriverLoad,
    // A thread started in another process.
    kSigmaCreateRemoteThread,
    kSigmaCategoryCount,
};

// "process_creation", "image_load", ...; nullptr for a value out of range. A category a log
// source names by its service ("dns-client") has the service's name.
const char* SigmaCategoryName(uint32_t category);
// Whether a log source names the category by its service rather than by a category.
bool IsSigmaServiceCategory(uint32_t category);

// Every field the view fills. A rule may name others (fields a category never records): their
// comparisons are unknown on every row (see MatchSigmaRules).
enum SigmaField : uint32_t {
    kSigmaImage = 0,
    kSigmaCommandLine,
    kSigmaProcessId,
    kSigmaParentImage,
    kSigmaParentCommandLine,
    kSigmaParentProcessId,
    kSigmaCurrentDirectory,
    kSigmaImageLoaded,
    kSigmaTargetFilename,
    kSigmaTargetObject,
    kSigmaEventType,
    kSigmaDestinationIp,
    kSigmaDestinationPort,
    kSigmaDestinationHostname,
    kSigmaSourceIp,
    kSigmaSourcePort,
    kSigmaProtocol,
    kSigmaInitiated,
    kSigmaQueryName,
    kSigmaQueryResults,
    kSigmaQueryStatus,
    // The acting process's family beyond its parent, and the name a file was renamed to.
    kSigmaGrandParentImage,
    kSigmaNewName,
    // A pipe's name, a file read, a rename's old name, a disk opened whole, the DNS client's
    // event number.
    kSigmaPipeName,
    kSigmaFileName,
    kSigmaSourceFilename,
    kSigmaDevice,
    kSigmaEventId,
    // Facts of the row read apart from its event (record/row_facts.h), in RowFact order: the
    // image's version texts, digests and signature; the token of a started process; a written
    // value's data.
    kSigmaOriginalFileName,
    kSigmaDescription,
    kSigmaProduct,
    kSigmaCompany,
    kSigmaFileVersion,
    kSigmaHashes,
    kSigmaMd5,
    kSigmaSha1,
    kSigmaSha256,
    kSigmaImphash,
    kSigmaSigned,
    kSigmaSignature,
    kSigmaSignatureStatus,
    kSigmaUser,
    kSigmaIntegrityLevel,
    kSigmaLogonId,
    kSigmaParentUser,
    kSigmaDetails,
    kSigmaHash,     // a stream's digests, in the form of Hashes
    kSigmaContents, // a short stream's text
    // Scripts: a script block's text and file, module logging's output and its context.
    kSigmaScriptBlockText,
    kSigmaPath,
    kSigmaPayload,
    kSigmaContextInfo,
    // An open of another process, or a thread started in one: the opener's image, the other
    // process's, the rights asked for; where the thread starts (the address in hex, the module
    // holding it and the exported function there).
    kSigmaSourceImage,
    kSigmaTargetImage,
    kSigmaGrantedAccess,
    kSigmaStartAddress,
    kSigmaStartModule,
    kSigmaStartFunction,
    kSigmaFieldCount,
};

// A set of fields: bit (SigmaFieldMask{1} << SigmaField).
using SigmaFieldMask = uint64_t;
static_assert(kSigmaFieldCount <= 64, "the fields are one 64-bit mask");
constexpr SigmaFieldMask SigmaFieldBit(uint32_t field) {
    return SigmaFieldMask{1} << field;
}
// Every field's bit.
constexpr SigmaFieldMask kEverySigmaField =
    kSigmaFieldCount < 64 ? (SigmaFieldMask{1} << kSigmaFieldCount) - 1 : ~SigmaFieldMask{0};

// "Image", "CommandLine", ... (the names rules use); nullptr for a value out of range.
const char* SigmaFieldName(uint32_t field);

// One field's value: UTF-16 text of length characters (not necessarily terminated). A field
// with text == nullptr is absent; one with length 0 is present and empty.
struct SigmaText {
    const char16_t* text;
    uint32_t length;
};

// What one row is to the rules: the categories it belongs to (bit 1 << SigmaCategory; 0 when
// it belongs to none, and then no rule sees it) and its fields. A field of the row's categories
// is known (a value, possibly empty, or absent) or unknown: this row could not learn it (bit
// 1 << SigmaField in unknown; its text is then null and never read).
struct SigmaEventView {
    uint32_t categories;
    SigmaFieldMask unknown;
    SigmaText fields[kSigmaFieldCount];
    // Fields the field view has set (a value, possibly empty): the view is cleared and read by
    // these alone, where walking every field for every row would cost more than the row's own
    // fields. A view made by hand may leave it 0; only the field view's own buffers rely on it.
    SigmaFieldMask set;
};

enum SigmaLevel : uint32_t {
    kSigmaInformational = 0,
    kSigmaLow,
    kSigmaMedium,
    kSigmaHigh,
    kSigmaCritical,
};

// "informational", "low", "medium", "high", "critical".
const char* SigmaLevelName(uint32_t level);
// The row severity a match raises a row to: critical and high 3, medium 2, low 1,
// informational 0 (no change).
uint32_t SeverityOfSigmaLevel(uint32_t level);

constexpr size_t kSigmaIdChars = 64;
constexpr size_t kSigmaTitleChars = 256;
constexpr size_t kSigmaFileChars = 520;

// One loaded rule, as the window, the summary and the exports name it.
struct SigmaRuleInfo {
    char16_t id[kSigmaIdChars];       // empty when the rule has none
    char16_t title[kSigmaTitleChars]; // cut to fit, always terminated
    char16_t file[kSigmaFileChars];   // path of the rule file, relative to the folder loaded
    uint32_t level;                   // SigmaLevel
    uint32_t categories;              // the one category of its log source, as a bit
    uint64_t matchWorkLimitHits;      // comparisons that hit the work bound (regular expressions,
                                      // wildcards, field references); each counted as no match
    uint32_t costStrikes;             // rows on which it hit a bound or took an outsized share
    uint8_t setAsideForCost;          // never tried again in this recording (costStrikes reached
                                      // the limit): it matches nothing from then on
    char16_t partial[160];            // fields the rule names that its category never records,
                                      // ", " between them (cut to fit); empty for a whole rule
    SigmaFieldMask fields;            // the recorded fields it compares (SigmaFieldBit)
};

// Why a file was refused. One reason per file; counted by reason.
enum SigmaRefusalReason : uint32_t {
    kSigmaRefusedSyntax = 0,    // YAML or condition syntax error (the detail names the line)
    kSigmaRefusedTooLarge,      // over 1 MiB
    kSigmaRefusedEncoding,      // not valid UTF-8
    kSigmaRefusedProduct,       // a product other than windows
    kSigmaRefusedService,       // a log source service
    kSigmaRefusedCategory,      // a category the recorder does not feed
    kSigmaRefusedField,         // the rule can never hold with the fields its category records
    kSigmaRefusedModifier,      // an unknown modifier
    kSigmaRefusedExpand,        // an `expand` placeholder
    kSigmaRefusedDocumentKind,  // a correlation or filter document, or a multi-document file
    kSigmaRefusedUnsupported,   // anything else the engine cannot apply faithfully
    kSigmaRefusedLimits,        // nesting, list or document size beyond the reader's bounds
    kSigmaRefusedUnreadable,    // the file could not be opened or read
    kSigmaRefusalReasonCount,
};

// A short stable key for a reason ("syntax", "too-large", ...), used in the JSON metadata.
const char* SigmaRefusalReasonName(uint32_t reason);

struct SigmaRefusal {
    char16_t file[kSigmaFileChars];
    char16_t title[kSigmaTitleChars]; // the rule's title when the file was read that far, or empty
    char16_t detail[256];
    uint32_t reason; // SigmaRefusalReason
};

struct SigmaRuleSet; // opaque; made by LoadSigmaRuleFolder or NewSigmaRuleSet

// An empty rule set (for rules added from text), or nullptr when memory is refused.
SigmaRuleSet* NewSigmaRuleSet();
// Reads every .yml and .yaml file under folder (sub-folders too), in a stable order. Never
// returns nullptr unless memory is refused; a folder that cannot be read, or holds more rule files
// or sub-folders than are read, gives an empty set whose folderError says why (whole sentences).
// A sub-folder or file that cannot be read is refused on its own, beside the rules that load.
SigmaRuleSet* LoadSigmaRuleFolder(const char16_t* folder);
// What a load on another thread shows the thread that waits for it: the files to read (known once
// the folder was walked) and those read so far, and a request to stop. A stopped load gives a set
// whose folderError says it was cancelled.
// Zero-filled; every field is read and written with base/atomic.h.
struct SigmaLoadProgress {
    uint32_t total;
    uint32_t done;
    uint32_t cancel; // nonzero: stop before the next file
};
// LoadSigmaRuleFolder, telling progress and stopping between files when asked to.
SigmaRuleSet* LoadSigmaRuleFolderWatched(const char16_t* folder, SigmaLoadProgress* progress);
// Compiles one rule file's bytes into set; false (and a refusal recorded) when refused.
bool AddSigmaRuleText(SigmaRuleSet* set, const char* bytes, size_t size, const char16_t* fileName);
void FreeSigmaRuleSet(SigmaRuleSet* set);

const char16_t* SigmaRuleFolder(const SigmaRuleSet* set);       // as given, or empty
const char16_t* SigmaRuleFolderError(const SigmaRuleSet* set);  // empty when it was read
int32_t SigmaFileCount(const SigmaRuleSet* set);                // files read (loaded + refused)
int32_t SigmaRuleCount(const SigmaRuleSet* set);                // loaded rules
const SigmaRuleInfo* GetSigmaRule(const SigmaRuleSet* set, int32_t index);
int32_t SigmaRefusalCount(const SigmaRuleSet* set);
const SigmaRefusal* GetSigmaRefusal(const SigmaRuleSet* set, int32_t index);
int32_t SigmaRefusalsByReason(const SigmaRuleSet* set, uint32_t reason);
// Comparisons that hit the work bound, over all rules (each counts as no match).
uint64_t SigmaMatchWorkLimitHits(const SigmaRuleSet* set);
// Matching a row is bounded in counted steps (a character compared, a wildcard step, a unit of a
// regular expression's match limit), so that no row costs more than a few milliseconds whatever
// the rules are. A row that runs out stops there: the rules not yet tried count as no match on it.
// A rule that keeps hitting a bound is set aside for the rest of the recording.
int32_t SigmaRulesSetAside(const SigmaRuleSet* set);  // rules set aside for cost
uint64_t SigmaRowsOverBudget(const SigmaRuleSet* set); // rows whose matching stopped at the budget
uint64_t SigmaRowsWithoutMemory(const SigmaRuleSet* set); // rows not matched: memory refused
uint64_t SigmaLastRowWork(const SigmaRuleSet* set);    // steps the last row matched took
uint64_t SigmaMostRowWork(const SigmaRuleSet* set);    // the most any row took
uint64_t SigmaRowWorkBudget(const SigmaRuleSet* set);  // what one row may take

// Writes the index of every loaded rule that matches view into matched, in rule order, at most
// capacity of them, and returns how many matched (which may exceed capacity).
//
// A rule is evaluated with three values: a comparison on an unknown field (one the row could not
// learn, or one the category never records) is unknown, and `not`, `and`, `or`, `1 of` and
// `all of` follow three-valued logic. A rule matches only when its condition is true whatever
// the unknown fields hold.
int32_t MatchSigmaRules(SigmaRuleSet* set, const SigmaEventView* view, int32_t* matched,
                        int32_t capacity);

// A rule undecided on a row that would hold if the comparisons on the fields this row could not
// learn all held, or if none of them held (fields the category never records stay unknown
// both times). unknownFields: those fields (bit 1 << SigmaField) the rule compares.
struct SigmaPossibleMatch {
    int32_t rule;
    SigmaFieldMask unknownFields;
};
// MatchSigmaRules, and the possible matches too: at most possibleCapacity written to possible,
// their number (which may exceed it) in *possibleCount.
int32_t MatchSigmaRulesWithPossible(SigmaRuleSet* set, const SigmaEventView* view, int32_t* matched,
                                    int32_t capacity, SigmaPossibleMatch* possible,
                                    int32_t possibleCapacity, int32_t* possibleCount);

// What made rule hold on view: one line per search identifier that held, naming it and the field,
// modifiers and value of each comparison of the map that held ("selection_img: Image endswith
// \certutil.exe"), lines ended by LF. Writes nothing for a rule that does not hold. Returns the
// length written (cut to fit, terminated).
size_t ExplainSigmaMatch(SigmaRuleSet* set, int32_t rule, const SigmaEventView* view, char16_t* out,
                         size_t capacity);

} // namespace olv
