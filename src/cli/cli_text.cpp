#include "cli/cli_text.h"

#include "base/format.h"
#include "base/text.h"

namespace olv {

namespace {

bool IsNameBreaker(char16_t c) {
    return c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'*' ||
           c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|';
}

} // namespace

int ChooseExitCode(const CliOutcome& o) {
    if (o.usage) return kCliExitUsage;
    if (o.notStarted) return kCliExitNotStarted;
    if (o.checksMissing) return kCliExitChecksMissing;
    if (o.reachedFailOn) return kCliExitFailOn;
    if (o.incomplete) return kCliExitIncomplete;
    return kCliExitOk;
}

void FormatFailedLine(const char16_t* message, char16_t* out, size_t capacity) {
    FormatText(out, capacity, u"olvetta: failed: %s",
               message != nullptr && message[0] != 0 ? message : u"nothing could start");
}

const char16_t* CliExitMeaning(int code) {
    switch (code) {
    case kCliExitOk:
        return u"complete, and no row reached --fail-on (selftest: every check found)";
    case kCliExitUsage:
        return u"usage error";
    case kCliExitNotStarted:
        return u"the recording could not start, the session could not be opened, or a file "
               u"could not be written";
    case kCliExitIncomplete:
        return u"the record is incomplete (a completeness note), or files were left out";
    case kCliExitFailOn:
        return u"a row reached the --fail-on level";
    case kCliExitChecksMissing:
        return u"selftest: some checks are missing";
    default:
        return u"unknown exit code";
    }
}

const char16_t* CliResultWord(int exitCode, bool incomplete) {
    if (exitCode == kCliExitUsage || exitCode == kCliExitNotStarted) return u"failed";
    return incomplete ? u"incomplete" : u"complete";
}

void FormatUtcInstant(int64_t ticks, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    SystemTime t{};
    if (!TicksToUtcSystemTime(ticks, &t)) return;
    FormatText(out, capacity, u"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
               t.hour, t.minute, t.second, t.milliseconds);
}

bool IsCliOutputFileName(const char16_t* name) {
    static const char16_t* const kNames[] = {u"recording.ols", u"recording.json",
                                             u"recording.jsonl", u"recording.csv", u"result.json"};
    if (name == nullptr) return false;
    if (EqualsFolded(name, u".olvetta-write-check")) return true;
    for (const char16_t* known : kNames) {
        const size_t n = TextLength(known);
        char16_t head[32];
        if (TextLength(name) < n) continue;
        CopyBounded(head, n + 1, name);
        if (!EqualsFolded(head, known)) continue;
        const char16_t* rest = name + n;
        if (rest[0] == 0) return true;
        // The safe writer's temporary names: ".part", then ".part1" to ".part63".
        char16_t part[6];
        CopyBounded(part, 6, rest);
        if (!EqualsFolded(part, u".part")) continue;
        const char16_t* digits = rest + 5;
        if (digits[0] == 0) return true;
        if (digits[0] < u'1' || digits[0] > u'9') continue;
        uint32_t value = 0;
        size_t count = 0;
        for (; digits[count] >= u'0' && digits[count] <= u'9' && count < 3; ++count)
            value = value * 10 + static_cast<uint32_t>(digits[count] - u'0');
        if (digits[count] == 0 && value < 64) return true;
    }
    return false;
}

void FormatResultLine(bool complete, const CliCounts& c, int64_t durationTicks,
                      const char16_t* const* files, int fileCount, char16_t* out, size_t capacity) {
    const int64_t seconds = durationTicks > 0 ? durationTicks / kTicksPerSecond : 0;
    FormatText(out, capacity,
               u"olvetta: %s %lu rows (high %lu, medium %lu, low %lu) in %lu s; files: ",
               complete ? u"complete" : u"incomplete", c.rows, c.high, c.medium, c.low,
               static_cast<uint32_t>(seconds > 0xFFFFFFFF ? 0xFFFFFFFF : seconds));
    if (fileCount <= 0) AppendBounded(out, capacity, u"none");
    for (int i = 0; i < fileCount; ++i) {
        if (i > 0) AppendBounded(out, capacity, u", ");
        AppendBounded(out, capacity, files[i]);
    }
}

void FormatProgressLine(int64_t elapsedTicks, const CliCounts& c, uint64_t lost, char16_t* out,
                        size_t capacity) {
    const int64_t seconds = elapsedTicks > 0 ? elapsedTicks / kTicksPerSecond : 0;
    FormatText(out, capacity, u"olvetta: %lu s, %lu rows (high %lu, medium %lu, low %lu), lost %lu",
               static_cast<uint32_t>(seconds > 0xFFFFFFFF ? 0xFFFFFFFF : seconds), c.rows, c.high,
               c.medium, c.low, static_cast<uint32_t>(lost > 0xFFFFFFFFu ? 0xFFFFFFFFu : lost));
}

void OutputFolderName(const char16_t* programPath, const SystemTime& start, int attempt,
                      char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    constexpr size_t kNameChars = 64;
    char16_t name[kNameChars + 1] = {};
    const char16_t* file = PathFileName(programPath != nullptr ? programPath : u"");
    size_t length = TextLength(file);
    if (length >= 4 && EqualsFolded(file + length - 4, u".exe")) length -= 4;
    size_t n = 0;
    for (size_t i = 0; i < length && n < kNameChars; ++i) {
        // A surrogate pair is not split at the cut.
        if (n + 1 == kNameChars && file[i] >= 0xD800 && file[i] <= 0xDBFF) break;
        name[n++] = IsNameBreaker(file[i]) ? u'_' : file[i];
    }
    while (n > 0 && (name[n - 1] == u'.' || name[n - 1] == u' '))
        --n;
    name[n] = 0;
    if (n == 0) CopyBounded(name, kNameChars + 1, u"recording");
    FormatText(out, capacity, u"%s-%04d%02d%02d-%02d%02d%02d", name, start.year, start.month,
               start.day, start.hour, start.minute, start.second);
    if (attempt > 1) AppendFormat(out, capacity, u"-%d", attempt);
}

} // namespace olv
