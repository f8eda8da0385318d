// The built-in threat rules: constant tables and pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/row_kind.h"

namespace olv {

enum ResultClass : int { ResultUnknown = 0, ResultOk = 1, ResultFailed = 2 };

enum OperationClass : uint32_t {
    OpRead = 0x01,
    OpWrite = 0x02,
    OpStart = 0x04,
    OpLoad = 0x08,
    OpNetwork = 0x10,
    OpExit = 0x20,
    OpDelete = 0x40,
    OpScript = 0x80, // a script or content the program ran or had scanned
    OpAccess = 0x100, // another process or its thread opened
    OpDriver = 0x200, // a driver loaded into the system
    OpThread = 0x400, // a thread started in another process
};

enum RuleField : uint32_t { FieldPath = 1, FieldDetail = 2, FieldOperation = 4 };
enum MatchMode : uint32_t { MatchSubstring = 0, MatchPathSuffix = 1, MatchPathToken = 2 };

constexpr uint32_t kAnyCategory = 0xFFFFFFFFu;

struct ThreatRule {
    uint32_t category;
    int32_t severity;
    const char16_t* name;
    const char16_t* const* patternsA; // null-terminated list, or null
    const char16_t* const* patternsB;
    uint32_t fields;
    uint32_t operationClasses;
    uint8_t needsSuccess;
    uint32_t matchMode;
};

// A kind of row and its operation class. A row of a kind the table does not list (kind Other: an
// unnamed opcode, a row of an older session) has no class, and then every rule may test it.
struct OperationClassEntry {
    RowKind kind;
    uint32_t classes;
};

constexpr size_t kThreatRuleCount = 44;
constexpr size_t kOperationClassCount = 64;
extern const ThreatRule kThreatRules[kThreatRuleCount];
extern const OperationClassEntry kOperationClassTable[kOperationClassCount];

// Scores the row: empties threatOut (when given and capacity >= 1), writes the deciding rule's
// name and " (+N)", returns the severity 0 to 3.
int32_t ScoreRow(const EventRow* row, char16_t* threatOut, size_t capacity);
// The same for a row whose kind the caller knows (the decoder that made it), which spares the
// lookup of the kind by the row's text. kind must be the row's kind.
int32_t ScoreRowOfKind(const EventRow* row, RowKind kind, char16_t* threatOut, size_t capacity);
// Every rule of the table that the row meets, as ScoreRow tests them (so the most severe of them
// is ScoreRow's result): writes at most capacity table indices into rules, in table order, and
// returns how many rules matched. For the row's "Rules Matched..." list; ScoreRow stays the fast
// path of the trace threads.
int32_t MatchingThreatRules(const EventRow* row, int32_t* rules, int32_t capacity);
int ClassifyResult(const char16_t* result);
// The operation class of a kind of row; 0 for Other and for a number past the last kind.
uint32_t OperationClassOf(RowKind kind);
bool MatchPatternList(const char16_t* const* patterns, const EventRow* row, uint32_t fields,
                      uint32_t matchMode);
bool PathEndsWith(const char16_t* path, const char16_t* pattern);
// "Low", "Medium", "High"; any other value the empty text.
const char16_t* SeverityLabel(uint32_t severity);

} // namespace olv
