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
    kSigmaCategoryCount,
};

// "process_creation", "image_load", ...; nullptr for a value out of range.
const char* SigmaCategoryName(uint32_t category);

// Every field the view fills. A rule that names any other field is refused.
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
    kSigmaFieldCount,
};

// "Image", "CommandLine", ... (the names rules use); nullptr for a value out of range.
const char* SigmaFieldName(uint32_t field);

// One field's value: UTF-16 text of length characters (not necessarily terminated). A field
// with text == nullptr is absent; one with length 0 is present and empty.
struct SigmaText {
    const char16_t* text;
    uint32_t length;
};

// What one row is to the rules: the categories it belongs to (bit 1 << SigmaCategory; 0 when
// it belongs to none, and then no rule sees it) and its fields.
struct SigmaEventView {
    uint32_t categories;
    SigmaText fields[kSigmaFieldCount];
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
};

// Why a file was refused. One reason per file; counted by reason.
enum SigmaRefusalReason : uint32_t {
    kSigmaRefusedSyntax = 0,    // YAML or condition syntax error (the detail names the line)
    kSigmaRefusedTooLarge,      // over 1 MiB
    kSigmaRefusedEncoding,      // not valid UTF-8
    kSigmaRefusedProduct,       // a product other than windows
    kSigmaRefusedService,       // a log source service
    kSigmaRefusedCategory,      // a category the recorder does not feed
    kSigmaRefusedField,         // a field the view never fills
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

// Writes the index of every loaded rule that matches view into matched, in rule order, at most
// capacity of them, and returns how many matched (which may exceed capacity).
int32_t MatchSigmaRules(SigmaRuleSet* set, const SigmaEventView* view, int32_t* matched,
                        int32_t capacity);

} // namespace olv
