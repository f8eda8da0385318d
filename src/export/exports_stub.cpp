// Placeholder until the real implementation lands; delete this file when it does.
#include "export/exports.h"

namespace olv {

void ExportCsv(AppState*) {}
void ExportJson(AppState*) {}
void SaveSession(AppState*) {}
void OpenSession(AppState*) {}
bool ExportCsvToPath(AppState*, const char16_t*) { return false; }
bool ExportJsonToPath(AppState*, const char16_t*) { return false; }
bool SaveSessionToPath(AppState*, const char16_t*) { return false; }
bool OpenSessionFromPath(AppState*, const char16_t*) { return false; }

} // namespace olv
