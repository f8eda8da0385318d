#include "app/yara_commands.h"
#include "app/outcome_box.h"
#include "app/window_state.h"

#include "base/format.h"
#include "base/text.h"
#include "facts/yara_rules.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "views/view_texts.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

constexpr size_t kMessageChars = 4096;
static_assert(kMessageChars <= kOutcomeTextChars, "the outcome holds the message whole");
constexpr size_t kFolderChars = 600;
// Refused files listed one by one in the message; the rest are counted.
constexpr uint32_t kErrorsShown = 12;

const char16_t* ErrorKindText(YaraRuleErrorKind kind) {
    switch (kind) {
    case YaraRuleErrorKind::Syntax: return u"syntax";
    case YaraRuleErrorKind::Include: return u"include";
    case YaraRuleErrorKind::TooLarge: return u"too large";
    case YaraRuleErrorKind::NotText: return u"not text";
    case YaraRuleErrorKind::Unreadable: return u"unreadable";
    case YaraRuleErrorKind::TooDeep: return u"too deep";
    }
    return u"?";
}

// libyara's messages and this program's are ASCII; any other byte shows as a replacement.
void FromAscii(const char* text, char16_t* out, size_t capacity) {
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < capacity; ++n) {
        const auto c = static_cast<unsigned char>(text[n]);
        out[n] = c < 0x80 ? static_cast<char16_t>(c) : u'\uFFFD';
    }
    out[n] = 0;
}

// "  name.yar, line 3 (syntax): message" per listed error, then how many more there were.
void AppendErrors(const YaraRuleSet& set, char16_t* message, size_t capacity) {
    const uint32_t shown = set.errorsListed < kErrorsShown ? set.errorsListed : kErrorsShown;
    for (uint32_t i = 0; i < shown; ++i) {
        const YaraRuleError& e = set.errors[i];
        char16_t text[kYaraMessageChars];
        FromAscii(e.message, text, kYaraMessageChars);
        if (e.line > 0) {
            AppendFormat(message, capacity, u"\n  %.260s, line %lu (%s): %.256s", e.file,
                         e.line, ErrorKindText(e.kind), text);
        } else {
            AppendFormat(message, capacity, u"\n  %.260s (%s): %.256s", e.file,
                         ErrorKindText(e.kind), text);
        }
    }
    if (set.errorCount > shown) {
        AppendFormat(message, capacity, u"\n  and %lu more.", set.errorCount - shown);
    }
}

} // namespace

const char16_t kYaraNotAvailable[] = u"YARA rules are not available in this build.";

bool YaraFolderBeside(const char16_t* programPath, char16_t* out, size_t capacity) {
    return SiblingPath(programPath, u"yara", out, capacity);
}

Outcome LoadYaraRuleFiles(Recording* app, const char16_t* folder) {
    Outcome result{};
    if (app->sessionReading != 0 || app->sigmaLoading != 0) {
        SetOutcome(&result, OutcomeCode::kBusy, kIconWarning, u"");
        return result;
    }
    if (!YaraRulesAvailable()) {
        SetOutcome(&result, OutcomeCode::kBadInput, kIconWarning, kYaraNotAvailable);
        return result;
    }
    auto* message = static_cast<char16_t*>(AllocZeroed(kMessageChars * sizeof(char16_t)));
    auto* set = AllocRecord<YaraRuleSet>();
    if (message == nullptr || set == nullptr) {
        FreeBlock(message);
        FreeBlock(set);
        SetOutcome(&result, OutcomeCode::kNoMemory, kIconError,
                   u"There is not enough memory to load the YARA rules. The rules loaded before "
                   u"are unchanged.");
        return result;
    }
    if (!LoadYaraRuleFolder(folder, set) || set->rules == nullptr) {
        char16_t error[kYaraMessageChars];
        FromAscii(set->folderError, error, kYaraMessageChars);
        if (error[0] == 0) CopyBounded(error, kYaraMessageChars, u"No rule file compiled.");
        FormatText(message, kMessageChars,
                   u"The YARA rules could not be read from %.600s. %.256s The rules loaded "
                   u"before are unchanged.",
                   folder, error);
        AppendErrors(*set, message, kMessageChars);
        SetOutcome(&result, OutcomeCode::kBadInput, kIconError, message);
        FreeYaraRuleSet(set);
        FreeBlock(set);
        FreeBlock(message);
        return result;
    }
    const uint32_t rules = set->rulesLoaded;
    const uint32_t files = set->filesLoaded;
    const uint32_t refused = set->files - set->filesLoaded;
    FormatText(message, kMessageChars,
               rules == 1 ? u"Loaded %lu YARA rule from %lu files of %.600s."
                          : u"Loaded %lu YARA rules from %lu files of %.600s.",
               rules, files, folder);
    if (set->errorCount > 0) {
        AppendFormat(message, kMessageChars,
                     refused == 1 ? u" %lu file was refused:" : u" %lu files were refused:",
                     refused);
        AppendErrors(*set, message, kMessageChars);
    }
    const MessageIcon icon = set->errorCount > 0 ? kIconWarning : kIconInformation;
    if (!InstallYaraRules(app, set)) {
        FreeBlock(message);
        SetOutcome(&result, OutcomeCode::kNoMemory, kIconError,
                   u"There is not enough memory to load the YARA rules. The rules loaded before "
                   u"are unchanged.");
        return result;
    }
    CopyBounded(app->yara->folder, kYaraFolderChars, folder);
    AppendBounded(message, kMessageChars,
                  u"\nThey judge the images and written files of the recordings made from now "
                  u"on; files up to 64 MB are scanned.");
    SetOutcome(&result, OutcomeCode::kOk, icon, message);
    FreeBlock(message);
    UpdateStatusBar(app);
    return result;
}

void LoadYaraRules(Recording* app) {
    if (!YaraRulesAvailable()) {
        Outcome outcome{};
        SetOutcome(&outcome, OutcomeCode::kBadInput, kIconWarning, kYaraNotAvailable);
        ShowOutcome(OwnerWindow(app), outcome);
        return;
    }
    char16_t folder[kFolderChars] = {};
    if (app->yara != nullptr) CopyBounded(folder, kFolderChars, app->yara->folder);
    if (!UiFolderDialog(OwnerWindow(app),
                        u"Choose the folder of YARA rule files (.yar and .yara, sub-folders "
                        u"too). They replace the YARA rules loaded now.",
                        folder, kFolderChars)) {
        return;
    }
    ShowOutcome(OwnerWindow(app), LoadYaraRuleFiles(app, folder));
}

bool LoadYaraRulesBesideProgram(Recording* app, const char16_t* programPath) {
    char16_t folder[kFolderChars];
    if (!YaraFolderBeside(programPath, folder, kFolderChars)) return false;
    bool isFolder = false;
    if (!ReadFileAttributes(folder, &isFolder) || !isFolder) return false;
    return OutcomeOk(LoadYaraRuleFiles(app, folder));
}

} // namespace olv
