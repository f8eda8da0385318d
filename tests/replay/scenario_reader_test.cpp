// The scenario reader of olvetta-replay; whole recordings and the refusals of tests/scenarios/bad
// are checked by the scenario tests (cmake/OlvScenarios.cmake).
#include <cstring>
#include <string>

#include "base/text.h"
#include "decode/decode.h"
#include "doctest.h"
#include "json_line.h"
#include "scenario.h"

using namespace olv;
using namespace olv::replay;

namespace {

const char kProgram[] = "{\"kind\":\"program\",\"path\":\"C:\\\\s\\\\a.exe\",\"pid\":4242}\n";

struct Parsed {
    Scenario sc;
    char error[kScenarioErrorChars];
    bool ok;
    explicit Parsed(const std::string& text) {
        ok = ParseScenario(text.data(), text.size(), "t.jsonl", &sc, error, sizeof error);
    }
    ~Parsed() { FreeScenario(&sc); }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
};

std::string Event(const std::string& fields) {
    return "{\"kind\":\"event\",\"provider\":\"FileIo\",\"pid\":4242,\"time\":1000" + fields +
           "}\n";
}

const PropSpec& Prop(const Scenario& sc, uint32_t event, uint32_t index) {
    return sc.props[sc.events[event].firstProp + index];
}

} // namespace

TEST_CASE("lines that cannot be read are refused with the reason") {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"{\"start\":1}", "t.jsonl:2: field \"kind\" is missing"},
        {"{\"kind\":\"clock\",\"start\":-1}", "field \"start\" is out of range"},
        {"{\"kind\":\"clock\",\"start\":99999999999999999999}", "a number is too large"},
        {"{\"kind\":\"clock\",\"start\":1} x",
         "t.jsonl:2: syntax error while parsing value - "
         "invalid literal; expected end of input (at column 28)"},
        {"{\"kind\":\"\\u12\"}", "must be followed by 4 hex digits"},
        {"{\"kind\":\"\xC3\x28\"}", "ill-formed UTF-8 byte"},
        {"{\"kind\":\"\xED\xA0\x80\"}", "ill-formed UTF-8 byte"}, // an encoded surrogate
        {"{\"kind\":\"x\",\"a\":{\"b\":{\"c\":{\"d\":{\"e\":{\"f\":{\"g\":{\"h\":{}}}}}}}}}",
         "nested too deeply"},
        {"[1]", "a line must hold one JSON object"},
        {"{\"kind\":\"clock\",\"start\":null}", "null is not used"},
        {"{\"kind\":\"clock\",\"start\":[1]}", "arrays are not used"},
        {"{\"kind\":\"x\",\"p\":{\"A\":1,\"B\":2,\"A\":3}}", "field \"A\" appears twice"},
        {"{\"kind\":\"drive\",\"letter\":\"CD\",\"device\":\"x\"}", "drive letter is written"},
        {"{\"kind\":\"losses\",\"session\":\"usb\"}", "must be one of: kernel, dns"},
        {"{\"kind\":\"sessionFails\",\"session\":\"dns\",\"step\":\"start\",\"status\":0}",
         "a status other than 0"},
        {"{\"kind\":\"program\",\"path\":\"b.exe\",\"pid\":1}", "a second \"program\" line"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.line);
        Parsed p(std::string(kProgram) + c.line + "\n");
        INFO(p.error);
        CHECK_FALSE(p.ok);
        CHECK(std::strstr(p.error, c.message) != nullptr);
    }
}

TEST_CASE("event lines that the stand-in record could not carry, and stray repeat steps, are "
          "refused") {
    std::string many = ",\"props\":{";
    for (int i = 0; i < 49; ++i)
        many += (i ? ",\"P" : "\"P") + std::to_string(i) + "\":{\"u8\":1}";
    struct Case {
        std::string fields;
        const char* message;
    };
    const Case cases[] = {
        {many + "}", "at most 48 properties"},
        {",\"props\":{\"A\":{\"wstr\":\"" + std::string(6200, 'x') + "\"}}",
         "more than 12288 bytes"},
        {",\"props\":{\"A\":{\"u8\":256}}", "does not fit u8"},
        {",\"props\":{\"A\":{\"u32\":-1}}", "not negative"},
        {",\"props\":{\"A\":{\"u32\":1,\"u16\":1}}", "one typed value"},
        {",\"props\":{\"A\":{\"f32\":1}}", "unknown type \"f32\""},
        {",\"props\":{\"A\":{\"ptr\":\"0x1g\"}}", "non-hexadecimal"},
        {",\"header32\":true,\"props\":{\"A\":{\"ptr\":\"0x100000000\"}}", "must fit 32 bits"},
        {",\"props\":{\"A\":{\"bytes\":\"abc\"}}", "even number of hexadecimal digits"},
        {",\"props\":{\"A\":{\"wstr\":1}}", "this type takes a string"},
        {",\"props\":{\"" + std::string(40, 'N') + "\":{\"u8\":1}}", "1 to 39 characters"},
        {",\"opcode\":256", "opcode must be 0 to 255"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.fields.substr(0, 80));
        Parsed p(std::string(kProgram) + Event(c.fields));
        INFO(p.error);
        CHECK_FALSE(p.ok);
        CHECK(std::strstr(p.error, c.message) != nullptr);
    }

    Parsed stray(std::string(kProgram) +
                 "{\"kind\":\"repeat\",\"count\":2,\"step\":{\"Nothing\":1}}\n" + Event(""));
    CHECK(std::strstr(stray.error, "t.jsonl:2: the repeat block steps \"Nothing\"") != nullptr);
}

TEST_CASE("a byte-order mark, CRLF, comments, the program and a drive") {
    Parsed p("\xEF\xBB\xBF" + std::string(kProgram) + "  # indented comment\r\n" +
             "{\"kind\":\"drive\",\"letter\":\"d\",\"device\":\"\\\\Device\\\\HarddiskVolume5\"}"
             "\r\n");
    REQUIRE(p.ok);
    CHECK((p.sc.programPid == 4242 && TextEquals(p.sc.programPath, u"C:\\s\\a.exe")));
    REQUIRE(p.sc.driveCount == 1);
    CHECK(TextEquals(p.sc.driveLetters[0], u"D:"));
    CHECK(TextEquals(p.sc.driveDevices[0], u"\\Device\\HarddiskVolume5"));
}

TEST_CASE("event fields, typed properties and the session each provider goes to") {
    const std::string text =
        std::string(kProgram) +
        Event(",\"opcode\":64,\"id\":7,\"version\":3,\"tid\":17,\"header32\":true,"
              "\"props\":{\"FileObject\":{\"ptr\":\"0xFFFF0010\"},\"Size\":{\"u16\":513},"
              "\"Big\":{\"u64\":18446744073709551615},"
              "\"Name\":{\"wstr\":\"\\u00e9\\ud83d\\ude00\xe2\x82\xac\"},"
              "\"Image\":{\"astr\":\"caf\\u00e9 \\u20ac\"},\"Raw\":{\"bytes\":\"00FF7a\"}},"
              "\"payload\":\"0a0B\",\"at\":\"stop\"") +
        "{\"kind\":\"event\",\"provider\":\"DnsClient\",\"id\":3006,\"pid\":1,\"time\":5}\n"
        "{\"kind\":\"event\",\"provider\":\"{1C95126E-7EEA-49A9-A3FE-A378B03DDB4D}\","
        "\"pid\":1,\"time\":6}\n"
        "{\"kind\":\"event\",\"provider\":\"{68fdd900-4a3e-11d1-84f4-0000f80464e3}\","
        "\"pid\":1,\"time\":7}\n";
    Parsed p(text);
    REQUIRE(p.ok);
    REQUIRE(p.sc.eventCount == 4);
    const EventLine& e = p.sc.events[0];
    CHECK((e.lineNumber == 2 && e.provider == kFileIoProvider && e.session == kKernelSession));
    CHECK((e.opcode == 64 && e.id == 7 && e.version == 3 && e.tid == 17 && e.header32 == 1 &&
           e.at == kAtStop));
    REQUIRE(e.propCount == 6);
    CHECK(TextEquals(ScenarioText(&p.sc, Prop(p.sc, 0, 0).nameAt), u"FileObject"));
    CHECK(Prop(p.sc, 0, 0).type == kPropPointer);
    CHECK(Prop(p.sc, 0, 0).value == 0xFFFF0010u);
    CHECK(Prop(p.sc, 0, 1).value == 513);
    CHECK(Prop(p.sc, 0, 2).value == UINT64_MAX);
    CHECK(TextEquals(ScenarioText(&p.sc, Prop(p.sc, 0, 3).dataAt), u"\u00e9\U0001F600\u20ac"));
    const PropSpec& ansi = Prop(p.sc, 0, 4);
    CHECK(ansi.dataLength == 7); // with its terminator
    CHECK(std::memcmp(p.sc.bytes + ansi.dataAt, "caf\xE9 \x80", 7) == 0);
    const PropSpec& raw = Prop(p.sc, 0, 5);
    REQUIRE(raw.dataLength == 3);
    CHECK(std::memcmp(p.sc.bytes + raw.dataAt, "\x00\xFF\x7A", 3) == 0);
    REQUIRE(e.hasPayload == 1);
    CHECK(e.payloadLength == 2);
    CHECK(std::memcmp(p.sc.bytes + e.payloadAt, "\x0A\x0B", 2) == 0);

    CHECK(p.sc.events[1].session == kDnsSession);
    CHECK(p.sc.events[1].version == 2);           // the default
    CHECK(p.sc.events[2].session == kDnsSession); // the DNS client's id, written as a GUID
    CHECK(p.sc.events[3].session == kKernelSession);
    CHECK(
        (p.sc.events[3].provider.data1 == 0x68fdd900u && p.sc.events[3].provider.data4[7] == 0xe3));
}

TEST_CASE("repeat blocks, event numbers and the streams of each session") {
    const std::string text =
        std::string(kProgram) + Event("") + // number 1
        "{\"kind\":\"repeat\",\"count\":3,\"events\":2,\"timeStep\":10,"
        "\"step\":{\"IrpPtr\":16,\"Offset\":-512}}\n" +
        Event(",\"props\":{\"IrpPtr\":{\"ptr\":\"0x1000\"},\"Offset\":{\"u64\":4096}}") +
        "{\"kind\":\"fault\",\"afterEvent\":4}\n" + // lines between block events are fine
        "{\"kind\":\"event\",\"provider\":\"DnsClient\",\"pid\":1,\"time\":2000}\n" +
        Event(",\"at\":\"stop\"") + // number 8
        "{\"kind\":\"stop\",\"afterEvent\":5}\n"
        "{\"kind\":\"exit\",\"afterEvent\":2,\"code\":9}\n"
        "{\"kind\":\"traceEnds\",\"session\":\"dns\",\"afterEvent\":5,\"status\":1223}\n";
    Parsed p(text);
    REQUIRE(p.ok);
    REQUIRE(p.sc.instanceCount == 8);
    // 1: the first event; 2 to 7: the block's two lines three times; 8: the stop event.
    const uint32_t lines[] = {0, 1, 2, 1, 2, 1, 2, 3};
    const uint32_t ks[] = {0, 0, 0, 1, 1, 2, 2, 0};
    for (uint32_t i = 0; i < 8; ++i) {
        CAPTURE(i);
        CHECK(p.sc.instances[i].number == i + 1);
        CHECK(p.sc.instances[i].line == lines[i]);
        CHECK(p.sc.instances[i].k == ks[i]);
    }
    CHECK(InstanceTime(&p.sc, &p.sc.instances[5]) == 1000 + 20);
    CHECK(InstanceTime(&p.sc, &p.sc.instances[6]) == 2000 + 20);
    CHECK(Prop(p.sc, 1, 0).step == 16);
    CHECK(Prop(p.sc, 1, 1).step == -512);

    CHECK(p.sc.runCount[kKernelSession] == 4);
    CHECK(p.sc.runCount[kDnsSession] == 3);
    CHECK(p.sc.stopCount[kKernelSession] == 1);
    CHECK(p.sc.stopStream[kKernelSession][0] == 7);
    REQUIRE(p.sc.runOrderCount == 7);
    for (uint32_t i = 0; i < 7; ++i)
        CHECK(p.sc.runOrder[i] == i);

    // Fault 4 makes event 5 fault; actions sorted by afterEvent, equal ones in file order.
    CHECK_FALSE(InstanceFaults(&p.sc, &p.sc.instances[3]));
    CHECK(InstanceFaults(&p.sc, &p.sc.instances[4]));
    REQUIRE(p.sc.actionCount == 3);
    CHECK((p.sc.actions[0].kind == kActionExit && p.sc.actions[0].code == 9));
    CHECK(p.sc.actions[1].kind == kActionStop);
    CHECK((p.sc.actions[2].kind == kActionTraceEnds && p.sc.actions[2].session == kDnsSession &&
           p.sc.actions[2].code == 1223));
}

TEST_CASE("UTF-8 arguments become UTF-16, and what is not UTF-8 is refused") {
    char16_t out[8];
    CHECK(Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80", 7, out, 8));
    CHECK(TextEquals(out, u"a\u00e9\U0001F600"));
    CHECK_FALSE(Utf8ToUtf16("\xC3", 1, out, 8));             // cut short
    CHECK_FALSE(Utf8ToUtf16("\xC0\xAF", 2, out, 8));         // overlong
    CHECK_FALSE(Utf8ToUtf16("\xF4\x90\x80\x80", 4, out, 8)); // above U+10FFFF
    CHECK_FALSE(Utf8ToUtf16("abcdefgh", 8, out, 8));         // no room for the terminator
    CHECK(out[0] == 0);
}
