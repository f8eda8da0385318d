// Script blocks, module output and scanned content through DecodeEvent: one-part and many-part
// blocks, parts out of order, duplicated or missing, the table's bound, and the content's forms.
#include "doctest.h"

#include <cstdio>
#include <string>
#include <vector>

#include "decode/provider_fixture.h"
#include "record/script_row.h"

namespace olv {

namespace {

struct SentRows {
    std::vector<EventRow> rows;
    std::vector<std::u16string> wholes; // each row's whole text, as the queue's sink takes it
};

std::u16string TakeWhole() {
    const char16_t* text = nullptr;
    uint32_t units = 0;
    return TakeWholeRowText(&text, &units) ? std::u16string(text, units) : std::u16string();
}

void Collect(void* context, const EventRow* row) {
    static_cast<SentRows*>(context)->rows.push_back(*row);
    static_cast<SentRows*>(context)->wholes.push_back(TakeWhole());
}

struct ScriptFixture : ProviderFixture {
    SentRows sent;
    ScriptFixture() { SetRowSink(ts, Collect, &sent); }

    bool Part(uint32_t number, uint32_t total, const char16_t* text, const char16_t* id,
              const char16_t* path = u"", uint32_t pid = kSamplePid) {
        Begin(kPowerShellProvider, 15, kT0 + number, pid, 4104);
        AddSimU32(e, u"MessageNumber", number);
        AddSimU32(e, u"MessageTotal", total);
        AddSimWideString(e, u"ScriptBlockText", text);
        AddSimWideString(e, u"ScriptBlockId", id);
        AddSimWideString(e, u"Path", path);
        return Decode();
    }
    static std::u16string Whole() { return TakeWhole(); }
    uint32_t Counter(int which) {
        uint32_t counters[kTrackingCounterCount] = {};
        ReadTrackingCounters(ts, counters);
        return counters[which];
    }
};

std::u16string Repeat(char16_t c, size_t n) {
    return std::u16string(n, c);
}

} // namespace

TEST_CASE("script blocks: one part, several parts, and the script's file") {
    ScriptFixture f;
    REQUIRE(f.Part(1, 1, u"\r\n  Write-Host hi\r\nGet-Date", u"{b1}", u"C:\\s\\run.ps1"));
    CHECK(f.Cells() ==
          "sample.exe|Ran script block|\r\n  Write-Host hi\r\nGet-Date|Write-Host hi \u2014 "
          "27 characters \u2014 from C:\\s\\run.ps1 \u2014 block {b1}|OK");
    const char16_t* path = nullptr;
    const size_t n = ScriptPathOfDetail(f.row.detail, &path);
    CHECK(U8(std::u16string(path, n).c_str()) == "C:\\s\\run.ps1");

    CHECK_FALSE(f.Part(1, 3, u"$a = 1\n", u"{b2}"));
    CHECK_FALSE(f.Part(2, 3, u"$b = 2\n", u"{b2}"));
    CHECK_FALSE(f.Part(2, 3, u"$b = 2\n", u"{b2}")); // delivered twice: adds nothing
    REQUIRE(f.Part(3, 3, u"$a + $b", u"{b2}"));
    CHECK(f.Path() == "$a = 1\n$b = 2\n$a + $b");
    CHECK(f.Detail() == "$a = 1 \u2014 21 characters in 3 parts \u2014 block {b2}");
    CHECK(f.Result() == "OK");
    CHECK(ScriptPathOfDetail(f.row.detail, &path) == 0);
    CHECK(f.sent.rows.empty());

    // Another process's block is not followed; a block of a part numbered past its total is
    // counted.
    CHECK_FALSE(f.Part(1, 1, u"x", u"{b3}", u"", kOtherPid));
    CHECK_FALSE(f.Part(4, 3, u"x", u"{b4}"));
    CHECK(f.Counter(kScriptPartsOutOfPlace) == 1);
}

TEST_CASE("script blocks: parts out of order, a part missing, written at Stop") {
    ScriptFixture f;
    CHECK_FALSE(f.Part(2, 3, u"two;", u"{o}"));
    CHECK_FALSE(f.Part(1, 3, u"one;", u"{o}"));
    REQUIRE(f.Part(3, 3, u"three", u"{o}"));
    CHECK(f.Path() == "one;two;three");
    CHECK(f.Counter(kScriptPartsOutOfPlace) == 0);

    // Two parts ahead of their turn: the second cannot be placed and leaves a hole.
    CHECK_FALSE(f.Part(3, 4, u"c;", u"{h}"));
    CHECK_FALSE(f.Part(4, 4, u"d", u"{h}"));
    CHECK_FALSE(f.Part(1, 4, u"a;", u"{h}"));
    CHECK(f.Counter(kScriptPartsOutOfPlace) == 1);
    FlushScriptBlocks(f.ts);
    REQUIRE(f.sent.rows.size() == 1);
    const EventRow& flushed = f.sent.rows[0];
    CHECK(U8(flushed.path) == "a; \u2026 c;");
    CHECK(U8(flushed.detail) == "a; \u2026 c; \u2014 5 characters in 4 parts, 1 missing \u2014 block {h}");
    CHECK(U8(flushed.result) == "Parts missing");
    CHECK(U8(flushed.process) == "sample.exe");
    CHECK(U8(flushed.operation) == "Ran script block");
    CHECK(flushed.timestamp == static_cast<uint64_t>(kT0 + 3)); // its first part's time
    CHECK(f.Counter(kScriptBlocksIncomplete) == 1);
    FlushScriptBlocks(f.ts); // nothing left
    CHECK(f.sent.rows.size() == 1);
}

TEST_CASE("script blocks: the row's path holds the start, the whole text goes beside it") {
    ScriptFixture f;
    const std::u16string big = u"# " + Repeat(u'x', 3000);
    REQUIRE(f.Part(1, 1, big.c_str(), u"{big}"));
    CHECK(TextLength(f.row.path) == kScriptTextChars - 1);
    CHECK(TextStartsWith(f.row.detail, (u"# " + Repeat(u'x', 117) + u"\u2026 \u2014 3002 characters")
                                           .c_str()));
    CHECK(f.Whole() == big);
    CHECK(f.Whole().empty()); // taken once
    CHECK(f.Counter(kScriptTextsCut) == 0);

    // A block in two large parts: the row holds the first part's start, the size counts both.
    CHECK_FALSE(f.Part(1, 2, big.c_str(), u"{two}"));
    CHECK(f.Whole().empty()); // no row yet
    REQUIRE(f.Part(2, 2, u"tail", u"{two}"));
    CHECK(TextLength(f.row.path) == kScriptTextChars - 1);
    CHECK(f.Detail().find("3006 characters in 2 parts") != std::string::npos);
    CHECK(f.Whole() == big + u"tail");

    // A short text has no whole text beside its row: the path holds all of it.
    REQUIRE(f.Part(1, 1, u"short", u"{s}"));
    CHECK(f.Whole().empty());

    for (int i = 0; i < kScriptBlockSlots + 1; ++i) {
        const std::u16string id = u"{p" + std::u16string(1, static_cast<char16_t>(u'a' + i)) + u"}";
        CHECK_FALSE(f.Part(1, 2, u"first", id.c_str()));
    }
    REQUIRE(f.sent.rows.size() == 1); // the oldest, pushed out by the seventeenth
    CHECK(U8(f.sent.rows[0].detail).find("block {pa}") != std::string::npos);
    CHECK(f.sent.wholes[0].empty());
    CHECK(U8(f.sent.rows[0].result) == "Parts missing");
    FlushScriptBlocks(f.ts);
    CHECK(f.sent.rows.size() == 1 + kScriptBlockSlots);
}

TEST_CASE("module output and scanned content") {
    ScriptFixture f;
    f.Begin(kPowerShellProvider, 20, kT0, kSamplePid, 4103);
    AddSimWideString(f.e, u"ContextInfo",
                     u"        Severity = Informational\r\n        Host Application = "
                     u"powershell.exe -nop\r\n        Command Name = Invoke-WebRequest\r\n"
                     u"        Command Type = Cmdlet\r\n        Script Name = \r\n");
    AddSimWideString(f.e, u"Payload", u"CommandInvocation(Invoke-WebRequest): \"Invoke-WebRequest\"");
    REQUIRE(f.Decode());
    CHECK(f.Cells() == "sample.exe|Logged module output|CommandInvocation(Invoke-WebRequest): "
                       "\"Invoke-WebRequest\"|Command Name = Invoke-WebRequest; Command Type = "
                       "Cmdlet; Host Application = powershell.exe -nop|OK");

    const char16_t script[] = u"IEX (New-Object Net.WebClient)";
    f.Begin(kAmsiProvider, 0, kT0, kSamplePid, 1101);
    AddSimWideString(f.e, u"appname", u"PowerShell_C:\\w\\powershell.exe_10.0");
    AddSimWideString(f.e, u"contentname", u"");
    AddSimU32(f.e, u"contentsize", sizeof script - 2);
    AddSimBytes(f.e, u"content", script, sizeof script - 2);
    AddSimU32(f.e, u"scanResult", 32768);
    REQUIRE(f.Decode());
    CHECK(f.Cells() == "sample.exe|Scanned content|IEX (New-Object Net.WebClient)|"
                       "PowerShell_C:\\w\\powershell.exe_10.0 \u2014 60 bytes|Detected");

    // Binary content: its size and the event's hash; 8-bit text reads as text.
    const uint8_t binary[] = {0x4d, 0x5a, 0x90, 0x00, 0x03};
    uint8_t hash[32];
    for (int i = 0; i < 32; ++i)
        hash[i] = static_cast<uint8_t>(i);
    f.Begin(kAmsiProvider, 0, kT0, kSamplePid, 1101);
    AddSimWideString(f.e, u"appname", u"DotNet");
    AddSimWideString(f.e, u"contentname", u"payload.dll");
    AddSimU32(f.e, u"contentsize", sizeof binary);
    AddSimBytes(f.e, u"content", binary, sizeof binary);
    AddSimBytes(f.e, u"hash", hash, sizeof hash);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "(binary content)");
    CHECK(f.Detail() == "DotNet: payload.dll \u2014 5 bytes \u2014 SHA-256 "
                        "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    CHECK(f.Result() == "Clean");

    f.Begin(kAmsiProvider, 0, kT0, kSamplePid, 1101);
    AddSimBytes(f.e, u"content", "WScript.Echo 1", 14);
    AddSimU32(f.e, u"scanResult", 7);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "WScript.Echo 1");
    CHECK(f.Detail() == "(no application) \u2014 14 bytes");
    CHECK(f.Result() == "Result 7");

    f.Begin(kAmsiProvider, 0, kT0, kOtherPid, 1101);
    CHECK_FALSE(f.Decode());
    f.Begin(kPowerShellProvider, 0, kT0, kSamplePid, 4105);
    CHECK_FALSE(f.Decode());
    CHECK(f.Whole().empty()); // short texts: the path holds all of them
}

TEST_CASE("module output and scanned content longer than the path go whole beside their rows") {
    ScriptFixture f;
    std::u16string payload = u"CommandInvocation(Out-String): ";
    while (payload.size() < 5000)
        payload += u"\"value\" ";
    f.Begin(kPowerShellProvider, 20, kT0, kSamplePid, 4103);
    AddSimWideString(f.e, u"Payload", payload.c_str());
    REQUIRE(f.Decode());
    CHECK(f.Whole() == payload);
    CHECK(std::u16string(f.row.path) == payload.substr(0, kScriptTextChars - 1));

    // UTF-16 content with an unpaired surrogate: replaced in the whole text as in the path.
    std::u16string content(3000, u'w');
    content[2000] = 0xDC01;
    f.Begin(kAmsiProvider, 0, kT0, kSamplePid, 1101);
    AddSimBytes(f.e, u"content", content.data(), static_cast<uint32_t>(content.size() * 2));
    REQUIRE(f.Decode());
    std::u16string expected = content;
    expected[2000] = 0xFFFD;
    CHECK(f.Whole() == expected);
    // 8-bit content: each byte a unit.
    const std::string narrow(4000, 'n');
    f.Begin(kAmsiProvider, 0, kT0, kSamplePid, 1101);
    AddSimBytes(f.e, u"content", narrow.data(), static_cast<uint32_t>(narrow.size()));
    REQUIRE(f.Decode());
    CHECK(f.Whole() == std::u16string(4000, u'n'));
    CHECK(f.Counter(kScriptTextsCut) == 0);
}

} // namespace olv

namespace olv {

namespace {

// A text of n units that tells its positions apart: a run of lines, each naming where it starts.
std::u16string NumberedText(size_t n, size_t from) {
    std::u16string text;
    while (text.size() < n) {
        char line[40];
        std::snprintf(line, sizeof line, "$v%zu = %zu;\n", from + text.size(), text.size());
        for (const char* c = line; *c != 0; ++c)
            text.push_back(static_cast<char16_t>(*c));
    }
    text.resize(n);
    return text;
}

// Sends text as a block of parts of at most partUnits units; true when the last part made the row.
bool SendInParts(ScriptFixture& f, const std::u16string& text, size_t partUnits,
                 const char16_t* id) {
    const auto total = static_cast<uint32_t>((text.size() + partUnits - 1) / partUnits);
    bool row = false;
    for (uint32_t p = 0; p < total; ++p)
        row = f.Part(p + 1, total, text.substr(p * partUnits, partUnits).c_str(), id);
    return row;
}

} // namespace

TEST_CASE("script blocks: a long block in many parts, one at the limit and one past it") {
    ScriptFixture f;
    // 100,000 units in twenty parts, a second block's parts between them: exact, in order.
    const std::u16string text = NumberedText(100000, 0);
    const std::u16string other = NumberedText(9000, 7);
    for (uint32_t p = 0; p < 20; ++p) {
        const bool last = p == 19;
        CHECK(f.Part(p + 1, 20, text.substr(p * 5000, 5000).c_str(), u"{long}") == last);
        if (p == 3) CHECK_FALSE(f.Part(1, 2, other.substr(0, 4500).c_str(), u"{other}"));
    }
    CHECK(f.Detail().find("100000 characters in 20 parts") != std::string::npos);
    CHECK(std::u16string(f.row.path) == text.substr(0, kScriptTextChars - 1));
    CHECK(f.Whole() == text);
    REQUIRE(f.Part(2, 2, other.substr(4500).c_str(), u"{other}"));
    CHECK(f.Whole() == other);

    // Exactly at the limit: whole and not counted. One unit more: cut at the limit, counted.
    const std::u16string atLimit = NumberedText(kWholeTextMostUnits, 1);
    REQUIRE(SendInParts(f, atLimit, 5000, u"{at}"));
    CHECK(f.Whole() == atLimit);
    CHECK(f.Counter(kScriptTextsCut) == 0);
    const std::u16string past = atLimit + u"!";
    REQUIRE(SendInParts(f, past, 5000, u"{past}"));
    CHECK(f.Detail().find("1048577 characters") != std::string::npos);
    CHECK(f.Whole() == atLimit);
    CHECK(f.Counter(kScriptTextsCut) == 1);
    CHECK(f.Counter(kScriptPartsOutOfPlace) == 0);
}

} // namespace olv
