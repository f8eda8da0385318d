// What an operation of the core did, as a value: a code that front ends act on, and the message
// the window shows for it (text, caption and icon), which the console program prints. Operations
// never show anything themselves; the dialogs and questions before them stay with the front end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui.h"

namespace olv {

enum class OutcomeCode : uint8_t {
    kOk,          // done (the message, when there is one, adds to it: a count, a warning)
    kRefused,     // a question was answered No: nothing was done
    kCancelled,   // stopped by the user part way: nothing was changed
    kBusy,        // another piece of work runs (a recording, a read, a load): nothing was done
    kBadInput,    // the input cannot be used (no path, too long, not found, no rules)
    kFileError,   // a file could not be created, written, read or opened
    kDamagedFile, // a file was read but is not a valid one of its kind
    kNoMemory,    // the memory for the work was not given
    kTraceError,  // the trace session could not start, or ended by itself
    kLaunchError, // the program could not be started
    kNotWritable, // the rows cannot be written now (events waiting, the shown list incomplete)
    kProgramLeftRunning, // the recording stopped, but the examined program could not be ended
};

// The longest message: the completeness notes after an open, and a file's failure with a path
// of the longest length a file may have.
constexpr size_t kOutcomeTextChars = 8704;
constexpr size_t kOutcomeCaptionChars = 32;

struct Outcome {
    OutcomeCode code;
    MessageIcon icon;                       // meaningful when text is not empty
    char16_t caption[kOutcomeCaptionChars]; // the window's caption for the message
    char16_t text[kOutcomeTextChars];       // empty: nothing to show
};

// An outcome of code with text (copied, cut to fit), the icon and the product's caption.
void SetOutcome(Outcome* out, OutcomeCode code, MessageIcon icon, const char16_t* text);
// The same with a caption of its own.
void SetOutcomeCaption(Outcome* out, const char16_t* caption);
// Whether the operation did what was asked.
inline bool OutcomeOk(const Outcome& o) {
    return o.code == OutcomeCode::kOk;
}
// Whether the outcome carries a message for the user.
inline bool OutcomeHasMessage(const Outcome& o) {
    return o.text[0] != 0;
}
// An ok outcome with nothing to say.
Outcome OkOutcome();

// What a long operation reports while it works, from the front end: begin (a title and the total
// of steps; returns a handle for the other two, null when nothing is shown), step (done of total
// and a line of text; true when the user asked to cancel), end. A null Progress* shows nothing and
// is never cancelled. The window's shows a progress window with Cancel (app/outcome_box.h).
struct Progress {
    void* (*begin)(void* context, const char16_t* title, uint32_t total);
    bool (*step)(void* handle, uint32_t done, const char16_t* text);
    void (*end)(void* handle);
    void* context;
};
// The calls on a possibly null Progress (and a null handle).
void* BeginProgress(const Progress* progress, const char16_t* title, uint32_t total);
bool StepProgress(const Progress* progress, void* handle, uint32_t done, const char16_t* text);
void EndProgress(const Progress* progress, void* handle);

} // namespace olv
