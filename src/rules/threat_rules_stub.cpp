// Placeholder until the real implementation lands; delete this file when it does.
#include "rules/threat_rules.h"

namespace olv {

int32_t ScoreRow(const EventRow*, char16_t*, size_t) { return 0; }
int ClassifyResult(const char16_t*) { return 0; }
uint32_t OperationClassOf(const char16_t*) { return 0; }
bool MatchPatternList(const char16_t* const*, const EventRow*, uint32_t, uint32_t) { return false; }
bool PathEndsWith(const char16_t*, const char16_t*) { return false; }
const char16_t* SeverityLabel(uint32_t) { return nullptr; }

} // namespace olv
