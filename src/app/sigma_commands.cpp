#include "app/sigma_commands.h"

#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "sigma/sigma.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"

namespace olv {

namespace {

constexpr size_t kMessageChars = 1200;
constexpr size_t kFolderChars = 600;

void Tell(AppState* app, const char16_t* text, int icon) {
    UiMessageBox(app->mainWindow, text, kProductName, icon, kButtonsOk);
}

} // namespace

bool RulesFolderBeside(const char16_t* programPath, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (programPath == nullptr) return false;
    const size_t length = TextLength(programPath);
    size_t separator = length;
    for (size_t i = length; i > 0; --i) {
        if (programPath[i - 1] == u'\\' || programPath[i - 1] == u'/') {
            separator = i - 1;
            break;
        }
    }
    if (separator == length || separator + 1 + 5 >= capacity) return false;
    AppendBoundedN(out, capacity, programPath, separator + 1);
    AppendBounded(out, capacity, u"rules");
    return true;
}

bool LoadSigmaRulesFromFolder(AppState* app, const char16_t* folder, bool quiet) {
    char16_t message[kMessageChars];
    SigmaRuleSet* set = LoadSigmaRuleFolder(folder);
    if (set == nullptr) {
        if (!quiet) {
            Tell(app,
                 u"There is not enough memory to load the Sigma rules. The rules loaded before are "
                 u"unchanged.",
                 kIconError);
        }
        return false;
    }
    const char16_t* error = SigmaRuleFolderError(set);
    if (error != nullptr && error[0] != 0) {
        if (!quiet) {
            FormatText(message, kMessageChars,
                       u"The Sigma rules could not be read from %.600s. %.300s The rules loaded "
                       u"before are unchanged.",
                       folder, error);
            Tell(app, message, kIconError);
        }
        FreeSigmaRuleSet(set);
        return false;
    }
    const int32_t loaded = SigmaRuleCount(set);
    const int32_t refused = SigmaRefusalCount(set);
    if (!InstallSigmaRules(app, set)) {
        if (!quiet) {
            Tell(app,
                 u"There is not enough memory to load the Sigma rules. The rules loaded before are "
                 u"unchanged.",
                 kIconError);
        }
        return false;
    }
    UpdateStatusBar(app);
    if (quiet) return true;
    FormatText(message, kMessageChars,
               loaded == 1 ? u"Loaded %d Sigma rule from %.600s." : u"Loaded %d Sigma rules from %.600s.",
               loaded, folder);
    if (refused > 0) {
        AppendFormat(message, kMessageChars,
                     refused == 1 ? u" %d file was refused; the Sigma Rules window (View menu) "
                                    u"says why."
                                  : u" %d files were refused; the Sigma Rules window (View menu) "
                                    u"says why.",
                     refused);
    }
    if (app->rowCount > 0) {
        AppendFormat(message, kMessageChars, u" The rules were applied to the %d rows recorded.",
                     app->rowCount);
    }
    Tell(app, message, kIconInformation);
    return true;
}

void LoadSigmaRules(AppState* app) {
    char16_t folder[kFolderChars] = {};
    const SigmaRuleSet* loaded = LoadedSigmaRules(app);
    if (loaded != nullptr) CopyBounded(folder, kFolderChars, SigmaRuleFolder(loaded));
    if (!UiFolderDialog(app->mainWindow,
                        u"Choose the folder of Sigma rule files (.yml and .yaml, sub-folders "
                        u"too). They replace the Sigma rules loaded now; the built-in rules stay.",
                        folder, kFolderChars)) {
        return;
    }
    LoadSigmaRulesFromFolder(app, folder, false);
}

bool LoadRulesBesideProgram(AppState* app, const char16_t* programPath) {
    SetRecorderImageForSigma(app, programPath);
    char16_t folder[kFolderChars];
    if (!RulesFolderBeside(programPath, folder, kFolderChars)) return false;
    bool isFolder = false;
    if (!ReadFileAttributes(folder, &isFolder) || !isFolder) return false;
    return LoadSigmaRulesFromFolder(app, folder, true);
}

} // namespace olv
