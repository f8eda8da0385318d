// olvetta-replay: records a scenario through the program's own code on the stand-ins (or opens a
// session file), sets the view, and writes what is asked. docs/scenarios.md describes it.
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "app/recording_setup.h"
#include "app/lifecycle.h"
#include "app/sigma_commands.h"
#include "app/view_controls.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "json_line.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "platform/ui.h"
#include "replay.h"
#include "scenario.h"
#include "views/sigma_rows.h"

using namespace olv;
using namespace olv::replay;

namespace {

constexpr int kExitWritten = 0;
constexpr int kExitNotWritten = 1;
constexpr int kExitUsage = 2;
constexpr size_t kArgChars = 1024;
constexpr char16_t kReplayRecorderImage[] = u"C:\\Program Files\\Olvetta\\Olvetta.exe";

const char kUsage[] =
    "usage: olvetta-replay SCENARIO.jsonl [options]     record the scenario, then write what is "
    "asked\n"
    "       olvetta-replay --open FILE.ols [options]    open a session file, then write what is "
    "asked\n"
    "  --csv FILE | --json FILE | --session FILE   write through the export and save code\n"
    "  --hide file|registry|network|process        untick a category box (repeatable)\n"
    "  --suspicious   --operation NAME   --filter TEXT      set the view before writing\n"
    "  --summary      print the summary text on standard output\n"
    "  --rules DIR    load the Sigma rules of that folder first, as the program would\n"
    "  --jsonl FILE   write the JSON Lines export (after --json)\n"
    "  --answer-no    answer No to every question (default Yes)\n";

struct Options {
    const char* scenario;
    const char* open;
    const char* csv;
    const char* json;
    const char* session;
    const char* rules;
    const char* jsonl;
    bool hide[4]; // file, registry, network, process
    bool suspicious;
    const char* operation;
    const char* filter;
    bool summary;
    bool answerNo;
};

int Usage(const char* problem) {
    if (problem != nullptr) std::fprintf(stderr, "olvetta-replay: %s\n", problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// A value option given at most once.
bool TakeValue(int argc, char** argv, int* i, const char** slot, const char** problem) {
    if (*slot != nullptr) {
        *problem = "an option is given twice";
        return false;
    }
    if (*i + 1 >= argc) {
        *problem = "an option lacks its value";
        return false;
    }
    *slot = argv[++*i];
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o, const char** problem) {
    static const char* const kCategories[4] = {"file", "registry", "network", "process"};
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        bool ok = true;
        if (std::strcmp(a, "--open") == 0) {
            ok = TakeValue(argc, argv, &i, &o->open, problem);
        } else if (std::strcmp(a, "--csv") == 0) {
            ok = TakeValue(argc, argv, &i, &o->csv, problem);
        } else if (std::strcmp(a, "--json") == 0) {
            ok = TakeValue(argc, argv, &i, &o->json, problem);
        } else if (std::strcmp(a, "--rules") == 0) {
            ok = TakeValue(argc, argv, &i, &o->rules, problem);
        } else if (std::strcmp(a, "--jsonl") == 0) {
            ok = TakeValue(argc, argv, &i, &o->jsonl, problem);
        } else if (std::strcmp(a, "--session") == 0) {
            ok = TakeValue(argc, argv, &i, &o->session, problem);
        } else if (std::strcmp(a, "--operation") == 0) {
            ok = TakeValue(argc, argv, &i, &o->operation, problem);
        } else if (std::strcmp(a, "--filter") == 0) {
            ok = TakeValue(argc, argv, &i, &o->filter, problem);
        } else if (std::strcmp(a, "--hide") == 0) {
            if (i + 1 >= argc) {
                *problem = "--hide lacks its category";
                return false;
            }
            const char* what = argv[++i];
            bool known = false;
            for (int c = 0; c < 4; ++c) {
                if (std::strcmp(what, kCategories[c]) == 0) {
                    o->hide[c] = true;
                    known = true;
                }
            }
            if (!known) {
                *problem = "--hide takes file, registry, network or process";
                return false;
            }
        } else if (std::strcmp(a, "--suspicious") == 0) {
            o->suspicious = true;
        } else if (std::strcmp(a, "--summary") == 0) {
            o->summary = true;
        } else if (std::strcmp(a, "--answer-no") == 0) {
            o->answerNo = true;
        } else if (a[0] == '-' && a[1] != 0) {
            *problem = "unknown option";
            return false;
        } else if (o->scenario != nullptr) {
            *problem = "more than one scenario";
            return false;
        } else {
            o->scenario = a;
        }
        if (!ok) return false;
    }
    if ((o->scenario == nullptr) == (o->open == nullptr)) {
        *problem = "give either a scenario or --open FILE.ols";
        return false;
    }
    return true;
}

bool Wide(const char* text, char16_t* out) {
    return Utf8ToUtf16(text, std::strlen(text), out, kArgChars);
}

// Sets the view as a user would, with the notifications the window sends. False when the
// operation was never recorded (the combo box does not offer it).
bool ApplyView(Recording* app, const Options& o, const char16_t* operation, const char16_t* filter) {
    static const int kBoxes[4] = {kIdFileCheck, kIdRegistryCheck, kIdNetworkCheck, kIdProcessCheck};
    for (int c = 0; c < 4; ++c) {
        if (!o.hide[c]) continue;
        HeadlessSetCheck(kBoxes[c], kUnchecked);
        DispatchCommand(app, (uintptr_t{kBnClicked} << 16) | static_cast<uintptr_t>(kBoxes[c]));
    }
    if (o.suspicious) {
        HeadlessSetCheck(kIdSuspiciousCheck, kChecked);
        DispatchCommand(app, (uintptr_t{kBnClicked} << 16) | kIdSuspiciousCheck);
    }
    if (o.operation != nullptr) {
        int found = -1;
        for (int i = 1; HeadlessComboItem(i) != nullptr && found < 0; ++i) {
            if (TextEquals(HeadlessComboItem(i), operation)) found = i;
        }
        if (found < 0) return false;
        HeadlessSelectCombo(found);
        DispatchCommand(app, (uintptr_t{kCbnSelChange} << 16) | kIdOperationCombo);
    }
    if (o.filter != nullptr) {
        HeadlessSetText(kIdFilterEdit, filter);
        DispatchCommand(app, (uintptr_t{kEnChange} << 16) | kIdFilterEdit);
    }
    return true;
}

// The summary as UTF-8, its CR LF line ends written as LF.
void PrintSummary(const char16_t* text) {
    char bytes[4 * 512 + 1];
    const size_t length = TextLength(text);
    size_t at = 0;
    while (at < length) {
        size_t n = length - at < 512 ? length - at : 512;
        if (n > 1 && at + n < length && text[at + n - 1] >= 0xD800 && text[at + n - 1] <= 0xDBFF)
            --n;
        Utf16ToUtf8(text + at, n, bytes, sizeof bytes);
        for (size_t i = 0; bytes[i] != 0; ++i) {
            if (bytes[i] != '\r') std::fputc(bytes[i], stdout);
        }
        at += n;
    }
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    Options o{};
    const char* problem = nullptr;
    if (!ParseOptions(argc, argv, &o, &problem)) return Usage(problem);

    static char16_t csv[kArgChars], json[kArgChars], session[kArgChars], open[kArgChars];
    static char16_t operation[kArgChars], filter[kArgChars], rules[kArgChars], jsonl[kArgChars];
    if ((o.csv != nullptr && !Wide(o.csv, csv)) || (o.json != nullptr && !Wide(o.json, json)) ||
        (o.session != nullptr && !Wide(o.session, session)) ||
        (o.open != nullptr && !Wide(o.open, open)) ||
        (o.operation != nullptr && !Wide(o.operation, operation)) ||
        (o.filter != nullptr && !Wide(o.filter, filter)) ||
        (o.rules != nullptr && !Wide(o.rules, rules)) ||
        (o.jsonl != nullptr && !Wide(o.jsonl, jsonl))) {
        return Usage("an argument is not UTF-8 or is too long");
    }

#ifdef _WIN32
    // Byte-for-byte output: no LF to CR LF translation.
    _setmode(_fileno(stdout), _O_BINARY);
#endif

    static Scenario scenario;
    if (o.scenario != nullptr) {
        char error[kScenarioErrorChars];
        if (!ReadScenario(o.scenario, &scenario, error, sizeof error)) {
            std::fprintf(stderr, "olvetta-replay: %s\n", error);
            FreeScenario(&scenario);
            return kExitUsage;
        }
    }

    Recording* app = AllocRecord<Recording>();
    if (app == nullptr) {
        std::fprintf(stderr, "olvetta-replay: not enough memory\n");
        FreeScenario(&scenario);
        return kExitNotWritten;
    }
    InitRecording(app);
    ResetHeadlessUi();
    WireControls(app, HeadlessControlHandle);
    HeadlessSetDefaultAnswer(o.answerNo ? kAnswerNo : kAnswerYes);
    SetHeadlessMessageBoxEcho(stdout);

    int status = kExitWritten;
    bool proceed = true;
    // The recorder's own program, as the examined program's parent for the rules: a fixed stand-in
    // path, like the recorder's process id.
    SetRecorderImageForSigma(app, kReplayRecorderImage);
    if (o.rules != nullptr && !LoadSigmaRulesFromFolder(app, rules, false)) {
        // The message box has said why; nothing is recorded or written without the rules asked for.
        status = kExitNotWritten;
        proceed = false;
    }
    if (proceed && o.scenario != nullptr) {
        char error[400];
        if (!RecordScenario(app, &scenario, error, sizeof error)) {
            std::fflush(stdout);
            std::fprintf(stderr, "olvetta-replay: %s\n", error);
            status = kExitNotWritten;
            proceed = false;
        }
    } else if (proceed && !OpenSessionFromPath(app, open)) {
        // The message box has said why; nothing is written from a recording that is not there.
        status = kExitNotWritten;
        proceed = false;
    }

    ShowOperationNames(app); // the combo box offers what was recorded or opened
    if (proceed && !ApplyView(app, o, operation, filter)) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "olvetta-replay: no row has the operation \"%s\", so the view cannot show it; "
                     "nothing was written\n",
                     o.operation);
        status = kExitNotWritten;
        proceed = false;
    }
    if (proceed) {
        if (o.csv != nullptr && !ExportCsvToPath(app, csv)) status = kExitNotWritten;
        if (o.json != nullptr && !ExportJsonToPath(app, json)) status = kExitNotWritten;
        if (o.jsonl != nullptr && !ExportJsonLinesToPath(app, jsonl)) status = kExitNotWritten;
        if (o.session != nullptr && !SaveSessionToPath(app, session)) status = kExitNotWritten;
        if (o.summary) {
            DispatchCommand(app, kCmdSummary);
            PrintSummary(HeadlessSummaryText());
        }
    }
    std::fflush(stdout);

    SetHeadlessMessageBoxEcho(nullptr);
    CleanUpRecording(app);
    FreeBlock(app);
    FreeScenario(&scenario);
    ResetHeadlessUi();
    return status;
}
