#include "cli/cli_text.h"
#include "doctest.h"

#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "support/text_check.h"

using namespace olv;

TEST_CASE("the exit code: usage and start failures end the run, otherwise the highest wins") {
    struct Case {
        CliOutcome o;
        int code;
    };
    const Case cases[] = {
        {{}, 0},
        {{true, true, true, true, true}, 1},
        {{false, true, true, true, true}, 2},
        {{false, false, true, false, false}, 3},
        {{false, false, false, true, false}, 4},
        {{false, false, true, true, false}, 4},
        {{false, false, false, false, true}, 5},
        {{false, false, true, true, true}, 5},
    };
    for (const Case& c : cases)
        CHECK(ChooseExitCode(c.o) == c.code);
}

TEST_CASE("the result and progress lines") {
    const CliCounts counts{412, 3, 7, 12};
    const char16_t* files[] = {u"out\\recording.ols", u"out\\recording.json"};
    char16_t line[512];
    FormatResultLine(true, counts, 31 * kTicksPerSecond + 9999999, files, 2, line, 512);
    CHECK(U8(line) == "olvetta: complete 412 rows (high 3, medium 7, low 12) in 31 s; files: "
                      "out\\recording.ols, out\\recording.json");
    FormatResultLine(false, CliCounts{}, -5, nullptr, 0, line, 512);
    CHECK(U8(line) == "olvetta: incomplete 0 rows (high 0, medium 0, low 0) in 0 s; files: none");
    FormatProgressLine(12 * kTicksPerSecond, CliCounts{3456, 1, 2, 3}, 17, line, 512);
    CHECK(U8(line) == "olvetta: 12 s, 3456 rows (high 1, medium 2, low 3), lost 17");
}

TEST_CASE("the outcome's words: the failed line, each exit code's meaning and result, UTC instants") {
    char16_t line[256];
    FormatFailedLine(u"ETW: OpenTrace failed: 5", line, 256);
    CHECK(U8(line) == "olvetta: failed: ETW: OpenTrace failed: 5");
    FormatFailedLine(u"", line, 256);
    CHECK(U8(line) == "olvetta: failed: nothing could start");

    CHECK(U8(CliExitMeaning(kCliExitIncomplete)) ==
          "the record is incomplete (a completeness note), or files were left out");
    CHECK(U8(CliExitMeaning(kCliExitChecksMissing)) == "selftest: some checks are missing");
    CHECK(U8(CliExitMeaning(77)) == "unknown exit code");
    // A run that reached --fail-on with an incomplete record is still incomplete.
    CHECK(U8(CliResultWord(kCliExitFailOn, true)) == "incomplete");
    CHECK(U8(CliResultWord(kCliExitFailOn, false)) == "complete");
    CHECK(U8(CliResultWord(kCliExitNotStarted, false)) == "failed");
    CHECK(U8(CliResultWord(kCliExitUsage, true)) == "failed");

    SystemTime t{2024, 2, 4, 29, 23, 59, 58, 7};
    int64_t ticks = 0;
    REQUIRE(UtcSystemTimeToTicks(t, &ticks));
    FormatUtcInstant(ticks, line, 256);
    CHECK(U8(line) == "2024-02-29T23:59:58.007Z");
    FormatUtcInstant(-1, line, 256);
    CHECK(U8(line).empty());
}

TEST_CASE("the files a run writes into its folder are told from everything else") {
    for (const char16_t* name :
         {u"recording.ols", u"recording.json", u"recording.jsonl", u"recording.csv",
          u"result.json", u"RECORDING.JSON", u"recording.csv.part", u"recording.ols.part1",
          u"result.json.part63", u".olvetta-write-check"}) {
        CAPTURE(U8(name));
        CHECK(IsCliOutputFileName(name));
    }
    for (const char16_t* name :
         {u"recording.txt", u"recording.json.bak", u"recording.json.part64",
          u"recording.json.part0", u"recording.json.part01", u"recording.json.partx", u"result",
          u"my-recording.json", u".olvetta.lock", u"recording.jsonl.part1000", u""}) {
        CAPTURE(U8(name));
        CHECK_FALSE(IsCliOutputFileName(name));
    }
}

TEST_CASE("a new output folder is named after the program and the start time") {
    const SystemTime t{2024, 4, 5, 12, 10, 15, 9, 0};
    struct Case {
        const char16_t* program;
        int attempt;
        const char* name;
    };
    const Case cases[] = {
        {u"C:\\Downloads\\Invoice.pdf.exe", 1, "Invoice.pdf-20240412-101509"},
        {u"C:\\Downloads\\SETUP.EXE", 2, "SETUP-20240412-101509-2"},
        {u"relative/tool", 1, "tool-20240412-101509"},
        {u"C:\\x\\a:b*c?d\"e<f>g|h.exe", 1, "a_b_c_d_e_f_g_h-20240412-101509"},
        {u"C:\\x\\trailing. . .exe", 1, "trailing-20240412-101509"},
        {u"C:\\x\\.exe", 3, "recording-20240412-101509-3"},
        {u"", 1, "recording-20240412-101509"},
        {u"C:\\x\\\u00e9chantillon.exe", 1, "\u00e9chantillon-20240412-101509"},
    };
    for (const Case& c : cases) {
        char16_t out[256];
        OutputFolderName(c.program, t, c.attempt, out, 256);
        CHECK(U8(out) == c.name);
    }
    // A long name is cut at 64 characters, never inside a surrogate pair.
    std::u16string longName(63, u'a');
    longName += u"\U0001F600tail.exe";
    char16_t out[256];
    OutputFolderName(longName.c_str(), t, 1, out, 256);
    CHECK(U8(out) == std::string(63, 'a') + "-20240412-101509");

}

TEST_CASE("the command line: verbs, options, defaults and every usage error") {
    struct Case {
        std::vector<const char16_t*> args;
        bool scenarioAllowed;
        const char* problem; // null: accepted
    };
    const Case cases[] = {
        {{u"record", u"--", u"C:\\s.exe"}, false, nullptr},
        // An option of ours after the program, without "--", is refused and names "--".
        {{u"record", u"C:\\s.exe", u"--quiet"},
         false,
         "--quiet after the program: put -- before the program's own arguments"},
        {{u"record", u"--out", u"x", u"C:\\s.exe", u"--seconds", u"1"},
         false,
         "--seconds after the program: put --"},
        {{u"record", u"s.exe", u"/k", u"--help"}, false, "--help after the program"},
        {{u"record", u"s.exe", u"--overwrite"}, false, "--overwrite after the program"},
        {{u"record", u"s.exe", u"--verbose", u"-x", u"--out=y", u"--quietly"}, false, nullptr},
        {{u"record", u"--", u"s.exe", u"--seconds", u"1", u"--help"}, false, nullptr},
        {{u"analyze", u"a.ols", u"--overwrite", u"--out", u"o"}, false, nullptr},
        {{u"record", u"--overwrite", u"--overwrite", u"s.exe"}, false, "--overwrite is given twice"},
        {{u"record"}, false, "record needs a program"},
        {{u"record"}, true, nullptr},
        {{u"record", u"--seconds", u"0", u"--", u"s.exe"},
         false,
         "--seconds 0 would record nothing"},
        {{u"record", u"--seconds", u"-3", u"--", u"s.exe"},
         false,
         "--seconds takes a whole number"},
        {{u"record", u"--seconds", u"604801", u"--", u"s.exe"}, false, "--seconds takes"},
        {{u"record", u"--seconds"}, false, "--seconds needs a value"},
        {{u"record", u"--formats", u"json,xml", u"--", u"s.exe"}, false, "--formats takes"},
        {{u"record", u"--formats", u"", u"--", u"s.exe"}, false, "--formats takes"},
        {{u"record", u"--fail-on", u"critical", u"--", u"s.exe"}, false, "--fail-on takes"},
        {{u"record", u"--hide", u"dns", u"--", u"s.exe"}, false, "--hide takes"},
        {{u"record", u"--out", u"a", u"--out", u"b", u"--", u"s.exe"},
         false,
         "--out is given twice"},
        {{u"record", u"--colour", u"--", u"s.exe"}, false, "unknown option \"--colour\""},
        {{u"analyze"}, false, "analyze needs a session file"},
        {{u"analyze", u"a.ols", u"b.ols"}, false, "unexpected argument \"b.ols\""},
        {{u"analyze", u"a.ols", u"--seconds", u"5"}, false, "--seconds does not apply to analyze"},
        {{u"selftest", u"--until-exit"}, false, "--until-exit does not apply to selftest"},
        {{u"selftest", u"--formats", u"json"}, false, "selftest writes files only into a folder"},
        {{u"explode"}, false, "unknown command \"explode\""},
        {{}, false, "no command given"},
        {{u"--scenario", u"x.jsonl", u"record"}, false, "unknown command \"--scenario\""},
        {{u"--scenario", u"x.jsonl", u"record"}, true, nullptr},
        {{u"--scenario"}, true, "--scenario needs a file"},
    };
    for (const Case& c : cases) {
        std::vector<const char16_t*> argv{u"olvetta-cli"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CliOptions o{};
        char16_t problem[256];
        const bool ok = ParseCliArguments(static_cast<int>(argv.size()), argv.data(),
                                          c.scenarioAllowed, &o, problem, 256);
        CAPTURE(U8(problem));
        CAPTURE(c.args.size());
        if (c.problem == nullptr) {
            CHECK(ok);
        } else {
            CHECK_FALSE(ok);
            CHECK(U8(problem).find(c.problem) != std::string::npos);
        }
    }
}

TEST_CASE("what the command line gives: the program, its arguments and the defaults") {
    const char16_t* argv[] = {u"olvetta-cli", u"record",    u"--seconds", u"30",   u"--until-exit",
                              u"--hide",      u"registry",  u"--hide",    u"file", u"--formats",
                              u"jsonl,csv",   u"--fail-on", u"medium",    u"--",   u"C:\\s.exe",
                              u"--quiet",     u"x y"};
    CliOptions o{};
    char16_t problem[256];
    REQUIRE(ParseCliArguments(17, argv, false, &o, problem, 256));
    CHECK(o.verb == kCliRecord);
    CHECK(o.seconds == 30);
    CHECK(o.untilExit == 1);
    CHECK(o.quiet == 0); // after the program: the program's
    CHECK(o.hide[0] == 1);
    CHECK(o.hide[1] == 1);
    CHECK(o.hide[2] == 0);
    CHECK(o.formats == (kCliFormatJsonl | kCliFormatCsv));
    CHECK(o.failOn == 2);
    CHECK(U8(o.program) == "C:\\s.exe");
    REQUIRE(o.programArgumentCount == 2);
    CHECK(U8(o.programArguments[1]) == "x y");

    const char16_t* analyze[] = {u"olvetta-cli", u"analyze", u"s.ols"};
    REQUIRE(ParseCliArguments(3, analyze, false, &o, problem, 256));
    CHECK(o.formats == kCliFormatJson);
    const char16_t* record[] = {u"olvetta-cli", u"record", u"s.exe"};
    REQUIRE(ParseCliArguments(3, record, false, &o, problem, 256));
    CHECK(o.formats == (kCliFormatSession | kCliFormatJson));
    CHECK(o.seconds == kCliDefaultSeconds);
    const char16_t* selftest[] = {u"olvetta-cli", u"selftest", u"--out", u"d"};
    REQUIRE(ParseCliArguments(4, selftest, false, &o, problem, 256));
    CHECK(o.seconds == kCliSelftestSeconds);
    CHECK(o.formats == (kCliFormatSession | kCliFormatJson));

    const char16_t* help[] = {u"olvetta-cli", u"record", u"--help"};
    REQUIRE(ParseCliArguments(3, help, false, &o, problem, 256));
    CHECK(o.verb == kCliHelp);
    const char16_t* helper[] = {u"olvetta-cli", u"--selftest-helper", u"t", u"C:\\f", u"5", u"6"};
    REQUIRE(ParseCliArguments(6, helper, false, &o, problem, 256));
    CHECK(o.verb == kCliSelftestHelper);
    CHECK(o.helperArgumentCount == 4);
    CHECK_FALSE(ParseCliArguments(4, helper, false, &o, problem, 256));
}
