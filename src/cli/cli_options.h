// The console program's command line: the verb, its options and, for record, the program and
// its arguments. Reading it decides nothing else; cli_run.h acts on it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

enum CliVerb : uint8_t {
    kCliNoVerb,
    kCliRecord,
    kCliAnalyze,
    kCliSelftest,
    kCliHelp,
    kCliVersion,
    kCliSelftestHelper, // hidden: the self-test's helper program (the same executable)
    kCliSelftestChild,  // hidden: the child the helper starts; ends at once
};

enum CliFormat : uint32_t {
    kCliFormatSession = 1,
    kCliFormatJson = 2,
    kCliFormatJsonl = 4,
    kCliFormatCsv = 8,
    kCliFormatSessionV2 = 16, // recording.ols in the older form (version 2 to 4)
};
// Either form of the session file: recording.ols, the record itself.
constexpr uint32_t kCliFormatSessions = kCliFormatSession | kCliFormatSessionV2;

constexpr uint32_t kCliDefaultSeconds = 120;
constexpr uint32_t kCliSelftestSeconds = 30;
constexpr uint32_t kCliMostSeconds = 7 * 24 * 3600;
constexpr int kCliHelperArguments = 4; // TAG FOLDER TCP-PORT UDP-PORT

struct CliOptions {
    uint8_t verb;              // CliVerb
    const char16_t* scenario;  // --scenario FILE before the verb (the demonstration only)
    const char16_t* session;   // analyze: the session file
    const char16_t* out;       // --out DIR; null: a new folder in the current one
    uint32_t seconds;          // --seconds N; the verb's default when not given
    uint32_t formats;          // CliFormat bits; the verb's default when not given
    const char16_t* rules;     // --rules DIR
    const char16_t* yara;      // --yara DIR
    uint32_t failOn;           // --fail-on: 1 low, 2 medium, 3 high (row severities); 0 none
    uint8_t untilExit;         // --until-exit
    uint8_t quiet;             // --quiet
    uint8_t overwrite;         // --overwrite: an earlier run's files in --out are removed first
    uint8_t hide[4];           // --hide file|registry|network|process
    uint8_t suspicious;        // --suspicious
    uint8_t scriptLogging;     // --script-logging
    const char16_t* operation; // --operation NAME
    const char16_t* filter;    // --filter TEXT
    const char16_t* program;   // record: the program to run
    const char16_t* const* programArguments;
    int programArgumentCount;
    const char16_t* const* helperArguments; // the hidden helper's TAG FOLDER TCP UDP [FAIL-AT]
    int helperArgumentCount;
};

// Reads argv[1..argc-1] (argv[0] is the program). scenarioAllowed: --scenario FILE is taken
// before the verb (the demonstration twin). On a usage error returns false with a one-line
// problem in problem (capacity characters). The texts of options point into argv.
bool ParseCliArguments(int argc, const char16_t* const* argv, bool scenarioAllowed,
                       CliOptions* options, char16_t* problem, size_t capacity);

// Whether text is one of the console program's own options or switches (--out, --help, ...), as
// an argument after the program would be mistaken for one.
bool IsCliOptionName(const char16_t* text);

// "session,json" and the like into CliFormat bits; false for an unknown or empty name.
bool ParseFormatList(const char16_t* text, uint32_t* formats);

} // namespace olv
