#include "cli/cli_result.h"

#include "app/recording_setup.h"
#include "base/format.h"
#include "base/text.h"
#include "export/json_text.h"
#include "export/safe_file.h"
#include "launcher/command_line.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "views/sigma_rows.h"
#include "views/row_facts_flow.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

constexpr size_t kPieceChars = 16384;

// The file is put together in a bounded buffer that goes to the writer whenever the next piece
// might not fit; a text too long for an empty buffer is cut by AppendJsonString, never overrun.
struct JsonOut {
    SafeFileWriter writer;
    char16_t piece[kPieceChars];
};

void Drain(JsonOut* j) {
    WriteUtf8(&j->writer, j->piece);
    j->piece[0] = 0;
}

void Make(JsonOut* j, size_t room) {
    if (TextLength(j->piece) + room + 1 >= kPieceChars) Drain(j);
}

void Raw(JsonOut* j, const char16_t* text) {
    Make(j, TextLength(text));
    AppendBounded(j->piece, kPieceChars, text);
}

void String(JsonOut* j, const char16_t* text) {
    Make(j, JsonTextMaxChars(text != nullptr ? TextLength(text) : 0));
    AppendJsonString(j->piece, kPieceChars, text != nullptr ? text : u"");
}

// "name": "text", or "name": null for a missing text.
void Member(JsonOut* j, const char16_t* name, const char16_t* text, bool last = false) {
    char16_t key[64];
    FormatText(key, 64, u"  \"%s\": ", name);
    Raw(j, key);
    if (text == nullptr) {
        Raw(j, u"null");
    } else {
        String(j, text);
    }
    Raw(j, last ? u"\n" : u",\n");
}

void Number(JsonOut* j, const char16_t* name, uint64_t value) {
    char16_t text[96];
    FormatText(text, 96, u"  \"%s\": %lu,\n", name, value);
    Raw(j, text);
}

void Time(JsonOut* j, const char16_t* name, bool known, int64_t ticks) {
    char16_t text[40];
    FormatUtcInstant(ticks, text, 40);
    Member(j, name, known && text[0] != 0 ? text : nullptr);
}

// A list of texts on one line.
void Strings(JsonOut* j, const char16_t* name, const char16_t* const* texts, int count) {
    char16_t key[64];
    FormatText(key, 64, u"  \"%s\": [", name);
    Raw(j, key);
    for (int i = 0; i < count; ++i) {
        if (i > 0) Raw(j, u", ");
        String(j, texts[i]);
    }
    Raw(j, u"],\n");
}

void Notes(JsonOut* j, const char16_t* notes) {
    Raw(j, u"  \"notes\": [");
    bool first = true;
    char16_t line[1024];
    for (const char16_t* p = notes != nullptr ? notes : u""; *p != 0;) {
        size_t n = 0;
        while (p[n] != 0 && p[n] != u'\n')
            ++n;
        size_t kept = n < 1023 ? n : 1023;
        CopyBounded(line, kept + 1, p);
        while (kept > 0 && (line[kept - 1] == u'\r' || line[kept - 1] == u' '))
            line[--kept] = 0;
        if (kept > 0) {
            if (!first) Raw(j, u",");
            Raw(j, u"\n    ");
            String(j, line);
            first = false;
        }
        p += n;
        if (*p == u'\n') ++p;
    }
    Raw(j, first ? u"],\n" : u"\n  ],\n");
}

struct ArgumentList {
    JsonOut* j;
    int count;
};

void Arguments(JsonOut* j, const char16_t* text) {
    Raw(j, u"  \"arguments\": [");
    ArgumentList list{j, 0};
    SplitArgumentText(
        text != nullptr ? text : u"",
        [](void* context, const char16_t* argument, size_t) {
            ArgumentList* l = static_cast<ArgumentList*>(context);
            if (l->count++ > 0) Raw(l->j, u", ");
            String(l->j, argument);
        },
        &list);
    Raw(j, u"],\n");
}

const char16_t* SeverityWord(int32_t severity) {
    return severity >= 3 ? u"high" : severity == 2 ? u"medium" : severity == 1 ? u"low" : u"none";
}

void Rules(JsonOut* j, Recording* app, const char16_t* asked) {
    const SigmaRuleSet* set = LoadedSigmaRules(app);
    const char16_t* folder = set != nullptr ? SigmaRuleFolder(set) : asked;
    if (asked != nullptr && (folder == nullptr || folder[0] == 0)) folder = asked;
    Raw(j, u"  \"rules\": {\n  ");
    Member(j, u"folder", folder != nullptr && folder[0] != 0 ? folder : nullptr);
    char16_t text[128];
    FormatText(text, 128, u"    \"loaded\": %d,\n    \"refused\": %d,\n    \"refusedFiles\": [",
               set != nullptr ? SigmaRuleCount(set) : 0,
               set != nullptr ? SigmaRefusalCount(set) : 0);
    Raw(j, text);
    const int32_t refused = set != nullptr ? SigmaRefusalCount(set) : 0;
    for (int32_t i = 0; i < refused; ++i) {
        const SigmaRefusal* r = GetSigmaRefusal(set, i);
        if (r == nullptr) continue;
        Raw(j, i > 0 ? u",\n      {\"file\": " : u"\n      {\"file\": ");
        String(j, r->file);
        char16_t reason[48];
        const char* name = SigmaRefusalReasonName(r->reason);
        size_t n = 0;
        for (; name != nullptr && name[n] != 0 && n < 47; ++n)
            reason[n] = static_cast<char16_t>(name[n]);
        reason[n] = 0;
        Raw(j, u", \"reason\": ");
        String(j, reason);
        Raw(j, u", \"detail\": ");
        String(j, r->detail);
        Raw(j, u"}");
    }
    Raw(j, refused > 0 ? u"\n    ],\n    \"partial\": [" : u"],\n    \"partial\": [");
    // Loaded rules that name fields their category never records: they never match through
    // those fields, and say which.
    const int32_t loaded = set != nullptr ? SigmaRuleCount(set) : 0;
    int32_t partial = 0;
    for (int32_t i = 0; i < loaded; ++i) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, i);
        if (rule == nullptr || rule->partial[0] == 0) continue;
        Raw(j, partial++ > 0 ? u",\n      {\"file\": " : u"\n      {\"file\": ");
        String(j, rule->file);
        Raw(j, u", \"title\": ");
        String(j, rule->title);
        Raw(j, u", \"fields\": ");
        String(j, rule->partial);
        Raw(j, u"}");
    }
    Raw(j, partial > 0 ? u"\n    ]\n  },\n" : u"]\n  },\n");
}

// A UTF-8 text of this program's own making (rule names, relative rule paths) as UTF-16; a byte
// above ASCII shows as a replacement character.
void AsciiText(const char* text, char16_t* out, size_t capacity) {
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < capacity; ++n) {
        const auto c = static_cast<unsigned char>(text[n]);
        out[n] = c < 0x80 ? static_cast<char16_t>(c) : u'\uFFFD';
    }
    out[n] = 0;
}

// Every rule that gave a row its severity or matched it: the built-in rules counted over the
// stored rows (the rows the window makes itself carry none), the Sigma rules from their kept
// counts.
void RulesFired(JsonOut* j, Recording* app, bool recorded) {
    Raw(j, u"  \"rulesFired\": [");
    int listed = 0;
    if (recorded) {
        int32_t rows[kThreatRuleCount] = {};
        {
            EventRow row{}; // once a call
            LockGuard guard(&app->rowsLock);
            for (int32_t i = 0; i < app->rowCount; ++i) {
                if (StoredSeverity(app, i) == 0) continue; // no rule of either kind met it
                if (IsRecorderRowKind(StoredKind(app, i))) continue;
                ReadStoredRow(app, i, &row);
                int32_t matched[kThreatRuleCount];
                const int32_t n = MatchingThreatRules(&row, matched, kThreatRuleCount);
                for (int32_t k = 0; k < n && k < static_cast<int32_t>(kThreatRuleCount); ++k)
                    ++rows[matched[k]];
            }
        }
        for (size_t r = 0; r < kThreatRuleCount; ++r) {
            if (rows[r] == 0) continue;
            Raw(j, listed++ > 0 ? u",\n    {\"source\": \"built-in\", \"name\": "
                                : u"\n    {\"source\": \"built-in\", \"name\": ");
            String(j, kThreatRules[r].name);
            char16_t text[96];
            FormatText(text, 96, u", \"level\": \"%s\", \"rows\": %d}",
                       SeverityWord(kThreatRules[r].severity), rows[r]);
            Raw(j, text);
        }
        const SigmaRuleSet* set = LoadedSigmaRules(app);
        const int32_t count = set != nullptr ? SigmaRuleCount(set) : 0;
        for (int32_t r = 0; r < count; ++r) {
            const int32_t matchedRows = SigmaRowsOfRule(app, r);
            const SigmaRuleInfo* rule = GetSigmaRule(set, r);
            if (matchedRows <= 0 || rule == nullptr) continue;
            Raw(j, listed++ > 0 ? u",\n    {\"source\": \"sigma\", \"id\": "
                                : u"\n    {\"source\": \"sigma\", \"id\": ");
            String(j, rule->id);
            Raw(j, u", \"name\": ");
            String(j, rule->title);
            Raw(j, u", \"file\": ");
            String(j, rule->file);
            char16_t text[96];
            FormatText(text, 96, u", \"level\": \"%s\", \"rows\": %d}", SigmaLevelText(rule->level),
                       matchedRows);
            Raw(j, text);
        }
        // The YARA rules that matched a file: name, rule file, severity, rows and the first file.
        int32_t yaraCount = 0;
        const YaraRowRule* yara = YaraMatchedRules(app, &yaraCount);
        for (int32_t r = 0; r < yaraCount; ++r) {
            char16_t name[kYaraFileChars];
            Raw(j, listed++ > 0 ? u",\n    {\"source\": \"yara\", \"name\": "
                                : u"\n    {\"source\": \"yara\", \"name\": ");
            AsciiText(yara[r].name, name, kYaraFileChars);
            String(j, name);
            Raw(j, u", \"file\": ");
            AsciiText(yara[r].file, name, kYaraFileChars);
            String(j, name);
            char16_t text[96];
            FormatText(text, 96, u", \"level\": \"%s\", \"rows\": %d, \"first\": ",
                       YaraSeverityText(yara[r].severity), yara[r].rows);
            Raw(j, text);
            char16_t path[kPathChars + 1];
            LockGuard guard(&app->rowsLock);
            if (!RowImagePath(app, yara[r].firstRow, path, kPathChars))
                CopyStoredText(app, yara[r].firstRow, kTextPath, path, kPathChars + 1);
            String(j, path);
            Raw(j, u"}");
        }
    }
    Raw(j, listed > 0 ? u"\n  ]\n" : u"]\n");
}

} // namespace

bool WriteCliResultFile(const CliResultFacts& f, Recording* app, const char16_t* path) {
    JsonOut* j = AllocRecord<JsonOut>();
    if (j == nullptr) return false;
    if (!OpenSafeFile(&j->writer, path)) {
        FreeBlock(j);
        return false;
    }
    Raw(j, u"{\n");
    Member(j, u"result", CliResultWord(f.exitCode, f.incomplete));
    Number(j, u"exitCode", static_cast<uint64_t>(f.exitCode));
    Member(j, u"exitMeaning", CliExitMeaning(f.exitCode));
    Member(j, u"message", f.message != nullptr && f.message[0] != 0 ? f.message : nullptr);
    Member(j, u"command", f.command);
    Strings(j, u"invocation", f.invocation, f.invocationCount);
    Member(j, u"version", kCliVersionText);
    Member(j, u"program", f.program);
    Arguments(j, f.arguments);
    Member(j, u"session", f.session);
    Time(j, u"runStarted", true, f.runStarted);
    Time(j, u"runEnded", true, f.runEnded);
    Time(j, u"started", f.recorded, f.recordingStarted);
    Time(j, u"stopped", f.recorded, f.recordingStopped);
    Number(j, u"rows", f.counts.rows);
    char16_t severities[160];
    FormatText(severities, 160, u"  \"severities\": {\"high\": %lu, \"medium\": %lu, \"low\": %lu},\n",
               f.counts.high, f.counts.medium, f.counts.low);
    Raw(j, severities);
    Strings(j, u"files", f.files, f.fileCount);
    Notes(j, f.notes);
    Rules(j, app, f.rulesFolder);
    RulesFired(j, app, f.recorded);
    Raw(j, u"}\n");
    Drain(j);
    const bool written = CommitSafeFile(&j->writer);
    FreeBlock(j);
    return written;
}

} // namespace olv
