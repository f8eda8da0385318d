#include "cli/cli_options.h"

#include "base/format.h"
#include "base/text.h"
#include "selftest/selftest.h"

namespace olv {

namespace {

// Which verbs an option belongs to.
constexpr uint8_t kForRecord = 1;
constexpr uint8_t kForAnalyze = 2;
constexpr uint8_t kForSelftest = 4;
constexpr uint8_t kForAll = kForRecord | kForAnalyze | kForSelftest;
constexpr uint8_t kForOutput = kForRecord | kForAnalyze;

enum OptionKind : uint8_t {
    kOptOut,
    kOptSeconds,
    kOptUntilExit,
    kOptFormats,
    kOptRules,
    kOptYara,
    kOptFailOn,
    kOptHide,
    kOptSuspicious,
    kOptOperation,
    kOptFilter,
    kOptQuiet,
    kOptOverwrite,
    kOptScriptLogging,
};

struct OptionSpec {
    const char16_t* name;
    uint8_t kind;
    uint8_t verbs;
    bool takesValue;
};

constexpr OptionSpec kOptions[] = {
    {u"--out", kOptOut, kForAll, true},
    {u"--seconds", kOptSeconds, kForRecord | kForSelftest, true},
    {u"--until-exit", kOptUntilExit, kForRecord, false},
    {u"--formats", kOptFormats, kForAll, true},
    {u"--rules", kOptRules, kForOutput, true},
    {u"--yara", kOptYara, kForRecord, true},
    {u"--fail-on", kOptFailOn, kForOutput, true},
    {u"--hide", kOptHide, kForOutput, true},
    {u"--suspicious", kOptSuspicious, kForOutput, false},
    {u"--operation", kOptOperation, kForOutput, true},
    {u"--filter", kOptFilter, kForOutput, true},
    {u"--quiet", kOptQuiet, kForAll, false},
    {u"--overwrite", kOptOverwrite, kForAll, false},
    {u"--script-logging", kOptScriptLogging, kForRecord, false},
};

struct Problem {
    char16_t* text;
    size_t capacity;
};

bool Fail(Problem p, const char16_t* format, const char16_t* what = u"") {
    FormatText(p.text, p.capacity, format, what);
    return false;
}

uint8_t VerbBit(uint8_t verb) {
    switch (verb) {
    case kCliRecord:
        return kForRecord;
    case kCliAnalyze:
        return kForAnalyze;
    default:
        return kForSelftest;
    }
}

// A whole decimal number of at most kCliMostSeconds; false for anything else.
bool ParseSeconds(const char16_t* text, uint32_t* out) {
    if (text == nullptr || text[0] == 0) return false;
    uint64_t value = 0;
    for (const char16_t* p = text; *p != 0; ++p) {
        if (*p < u'0' || *p > u'9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - u'0');
        if (value > kCliMostSeconds) return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

bool TakeOption(const OptionSpec& spec, const char16_t* value, CliOptions* o, Problem p) {
    static const char16_t* const kCategories[4] = {u"file", u"registry", u"network", u"process"};
    static const char16_t* const kLevels[3] = {u"low", u"medium", u"high"};
    switch (spec.kind) {
    case kOptOut:
        if (value[0] == 0) return Fail(p, u"--out needs a folder");
        o->out = value;
        return true;
    case kOptSeconds:
        if (!ParseSeconds(value, &o->seconds))
            return Fail(p, u"--seconds takes a whole number from 1 to 604800, not \"%s\"", value);
        if (o->seconds == 0) return Fail(p, u"--seconds 0 would record nothing: give at least 1");
        return true;
    case kOptUntilExit:
        o->untilExit = 1;
        return true;
    case kOptFormats:
        if (!ParseFormatList(value, &o->formats))
            return Fail(p, u"--formats takes a list of session (or session-v2), json, jsonl and csv, "
                              u"not \"%s\"",
                        value);
        return true;
    case kOptRules:
        if (value[0] == 0) return Fail(p, u"--rules needs a folder");
        o->rules = value;
        return true;
    case kOptYara:
        if (value[0] == 0) return Fail(p, u"--yara needs a folder");
        o->yara = value;
        return true;
    case kOptFailOn:
        for (uint32_t i = 0; i < 3; ++i) {
            if (TextEquals(value, kLevels[i])) {
                o->failOn = i + 1;
                return true;
            }
        }
        return Fail(p, u"--fail-on takes low, medium or high, not \"%s\"", value);
    case kOptHide:
        for (int c = 0; c < 4; ++c) {
            if (TextEquals(value, kCategories[c])) {
                o->hide[c] = 1;
                return true;
            }
        }
        return Fail(p, u"--hide takes file, registry, network or process, not \"%s\"", value);
    case kOptSuspicious:
        o->suspicious = 1;
        return true;
    case kOptScriptLogging:
        o->scriptLogging = 1;
        return true;
    case kOptOperation:
        o->operation = value;
        return true;
    case kOptFilter:
        o->filter = value;
        return true;
    case kOptOverwrite:
        o->overwrite = 1;
        return true;
    default:
        o->quiet = 1;
        return true;
    }
}

const char16_t* VerbName(uint8_t verb) {
    return verb == kCliRecord ? u"record" : verb == kCliAnalyze ? u"analyze" : u"selftest";
}

} // namespace

bool IsCliOptionName(const char16_t* text) {
    if (text == nullptr) return false;
    for (const OptionSpec& spec : kOptions) {
        if (TextEquals(text, spec.name)) return true;
    }
    return TextEquals(text, u"--help") || TextEquals(text, u"-h") ||
           TextEquals(text, u"--version") || TextEquals(text, u"--scenario");
}

bool ParseFormatList(const char16_t* text, uint32_t* formats) {
    static const char16_t* const kNames[5] = {u"session", u"json", u"jsonl", u"csv",
                                              u"session-v2"};
    static const uint32_t kBits[5] = {kCliFormatSession, kCliFormatJson, kCliFormatJsonl,
                                      kCliFormatCsv, kCliFormatSessionV2};
    if (text == nullptr || text[0] == 0) return false;
    uint32_t bits = 0;
    const char16_t* p = text;
    for (;;) {
        const char16_t* end = p;
        while (*end != 0 && *end != u',')
            ++end;
        const size_t n = static_cast<size_t>(end - p);
        bool known = false;
        for (int i = 0; i < 5 && !known; ++i) {
            if (TextLength(kNames[i]) == n) {
                known = true;
                for (size_t k = 0; k < n && known; ++k)
                    known = kNames[i][k] == p[k];
                if (known) bits |= kBits[i];
            }
        }
        if (!known) return false;
        if (*end == 0) break;
        p = end + 1;
    }
    // Both forms would be the one recording.ols.
    if ((bits & kCliFormatSessions) == kCliFormatSessions) return false;
    *formats = bits;
    return true;
}

bool ParseCliArguments(int argc, const char16_t* const* argv, bool scenarioAllowed, CliOptions* o,
                       char16_t* problemText, size_t capacity) {
    *o = CliOptions{};
    Problem p{problemText, capacity};
    if (problemText != nullptr && capacity > 0) problemText[0] = 0;
    int i = 1;

    // The hidden helper switches come alone, first.
    if (argc >= 2 && TextEquals(argv[1], u"--selftest-helper")) {
        if (argc - 2 < kCliHelperArguments || argc - 2 > kCliHelperArguments + 1)
            return Fail(p, u"the self-test helper takes TAG FOLDER TCP-PORT UDP-PORT [FAIL-AT]");
        o->verb = kCliSelftestHelper;
        o->helperArguments = argv + 2;
        o->helperArgumentCount = argc - 2;
        return true;
    }
    if (argc == 2 &&
        (TextEquals(argv[1], kSelftestChildSwitch) || TextEquals(argv[1], kSelftestTargetSwitch))) {
        o->verb = kCliSelftestChild;
        return true;
    }

    // Before the verb: --help, --version and (in the demonstration) --scenario FILE.
    for (; i < argc; ++i) {
        const char16_t* a = argv[i];
        if (TextEquals(a, u"--help") || TextEquals(a, u"-h") || TextEquals(a, u"/?")) {
            o->verb = kCliHelp;
            return true;
        }
        if (TextEquals(a, u"--version")) {
            o->verb = kCliVersion;
            return true;
        }
        if (scenarioAllowed && TextEquals(a, u"--scenario")) {
            if (o->scenario != nullptr) return Fail(p, u"--scenario is given twice");
            if (i + 1 >= argc || argv[i + 1][0] == 0) return Fail(p, u"--scenario needs a file");
            o->scenario = argv[++i];
            continue;
        }
        break;
    }
    if (i >= argc) return Fail(p, u"no command given: record, analyze or selftest");
    const char16_t* verb = argv[i++];
    if (TextEquals(verb, u"record")) {
        o->verb = kCliRecord;
    } else if (TextEquals(verb, u"analyze")) {
        o->verb = kCliAnalyze;
    } else if (TextEquals(verb, u"selftest")) {
        o->verb = kCliSelftest;
    } else {
        return Fail(p, u"unknown command \"%s\": record, analyze or selftest", verb);
    }

    bool seen[sizeof kOptions / sizeof kOptions[0]] = {};
    bool separated = false; // "--" came before the program
    for (; i < argc; ++i) {
        const char16_t* a = argv[i];
        if (TextEquals(a, u"--help") || TextEquals(a, u"-h")) {
            o->verb = kCliHelp;
            return true;
        }
        if (o->verb == kCliRecord && TextEquals(a, u"--")) {
            ++i;
            separated = true;
            break;
        }
        if (a[0] == u'-' && a[1] == u'-') {
            const OptionSpec* spec = nullptr;
            size_t index = 0;
            for (size_t k = 0; k < sizeof kOptions / sizeof kOptions[0]; ++k) {
                if (TextEquals(a, kOptions[k].name)) {
                    spec = &kOptions[k];
                    index = k;
                }
            }
            if (spec == nullptr) return Fail(p, u"unknown option \"%s\"", a);
            if ((spec->verbs & VerbBit(o->verb)) == 0) {
                char16_t text[160];
                FormatText(text, 160, u"%s does not apply to %s", a, VerbName(o->verb));
                return Fail(p, u"%s", text);
            }
            if (seen[index] && spec->kind != kOptHide) return Fail(p, u"%s is given twice", a);
            seen[index] = true;
            const char16_t* value = u"";
            if (spec->takesValue) {
                if (i + 1 >= argc) return Fail(p, u"%s needs a value", a);
                value = argv[++i];
            }
            if (!TakeOption(*spec, value, o, p)) return false;
            continue;
        }
        if (o->verb == kCliAnalyze && o->session == nullptr) {
            o->session = a;
            continue;
        }
        if (o->verb == kCliRecord) break; // the program, and its arguments after it
        return Fail(p, u"unexpected argument \"%s\"", a);
    }

    if (o->verb == kCliRecord) {
        if (i < argc) {
            o->program = argv[i];
            o->programArguments = argv + i + 1;
            o->programArgumentCount = argc - i - 1;
            if (o->program[0] == 0) return Fail(p, u"the program to record is empty");
            // Without "--" an option of ours after the program is far likelier a misplaced
            // option than one meant for the program: passing it on would silently drop it.
            for (int k = 0; !separated && k < o->programArgumentCount; ++k) {
                if (IsCliOptionName(o->programArguments[k]))
                    return Fail(p,
                                u"%s after the program: put -- before the program's own "
                                u"arguments (record [options] -- PROGRAM [ARGUMENTS...])",
                                o->programArguments[k]);
            }
        } else if (!scenarioAllowed) { // the demonstration launches the scenario's program
            return Fail(p, u"record needs a program: record [options] -- PROGRAM [ARGUMENTS...]");
        }
    }
    if (o->verb == kCliAnalyze && o->session == nullptr)
        return Fail(p, u"analyze needs a session file: analyze SESSION.ols [options]");
    if (o->seconds == 0)
        o->seconds = o->verb == kCliSelftest ? kCliSelftestSeconds : kCliDefaultSeconds;
    if (o->formats == 0) {
        if (o->verb == kCliRecord) o->formats = kCliFormatSession | kCliFormatJson;
        if (o->verb == kCliAnalyze) o->formats = kCliFormatJson;
    }
    if (o->verb == kCliSelftest && seen[3] && o->out == nullptr)
        return Fail(p, u"selftest writes files only into a folder given with --out");
    if (o->verb == kCliSelftest && o->out != nullptr && !seen[3])
        o->formats = kCliFormatSession | kCliFormatJson;
    return true;
}

} // namespace olv
