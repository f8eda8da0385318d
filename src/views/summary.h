// The summary: a plain-text digest of the whole recording.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct AppState; // app/app_state.h

constexpr int kTallyEntries = 256;
constexpr size_t kTallyNameChars = 256;
constexpr size_t kSummaryChars = 32768;

struct NameTally {
    char16_t (*names)[kTallyNameChars]; // kTallyEntries entries, heap
    uint32_t* counts;                   // kTallyEntries entries, heap
    int32_t used;
    uint8_t overflow;
};

// Heap parts of a tally; false (nothing held) when refused.
bool AllocNameTally(NameTally* tally);
void FreeNameTally(NameTally* tally);
void TallyName(NameTally* tally, const char16_t* name);
void AppendTopTen(char16_t* text, size_t capacity, const char16_t* heading, NameTally* tally);
void AppendSummaryLine(char16_t* text, size_t capacity, const char16_t* line);

// The whole summary text of the Summary command, before its window is made: a heap block of
// kSummaryChars characters that the caller frees, or null when memory was refused (the command
// then ends silently).
char16_t* BuildSummaryText(AppState* app);

// "Summary": builds the text and shows it in a text window of the UI port, in summaryFont (made
// on first use and kept), or in uiFont while summaryFont cannot be made.
void ShowSummaryWindow(AppState* app);

} // namespace olv
