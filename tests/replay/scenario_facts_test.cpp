// A scenario's facts lines: read strictly, and answered by the stand-ins for the paths and
// process ids they name (nothing else is known).
#include <cstring>
#include <string>

#include "doctest.h"
#include "facts/image_facts.h"
#include "platform/file_trust.h"
#include "platform/process_directory.h"
#include "platform/process_token.h"
#include "facts/fact_texts.h"
#include "platform/registry_values.h"
#include "platform/sim/sim_facts.h"
#include "scenario.h"
#include "stand_ins.h"
#include "support/text_check.h"

using namespace olv;
using namespace olv::replay;

namespace {

const char kProgram[] = "{\"kind\":\"program\",\"path\":\"C:\\\\s\\\\a.exe\",\"pid\":4242}\n";

struct Parsed {
    Scenario sc{};
    char error[kScenarioErrorChars] = {};
    bool ok;
    explicit Parsed(const std::string& text) {
        ok = ParseScenario(text.data(), text.size(), "t.jsonl", &sc, error, sizeof error);
    }
    ~Parsed() { FreeScenario(&sc); }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
};

} // namespace

TEST_CASE("facts lines name a path or a process, each field where it belongs") {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {R"({"kind":"facts","user":"x"})", "one of \"path\", \"pid\" or \"key\""},
        {R"({"kind":"facts","path":"C:\\a.exe","pid":4})", "one of \"path\", \"pid\" or \"key\""},
        {R"({"kind":"facts","key":"HKLM\\X","value":"v"})", "field \"data\" is missing"},
        {R"({"kind":"facts","key":"HKLM\\X","data":"d","pid":4})", "one of \"path\""},
        {R"({"kind":"facts","key":"HKLM\\X","data":"d","md5":"AB"})",
         "does not belong to a registry value's facts"},
        {R"({"kind":"facts","path":"C:\\a.exe","user":"x"})", "belongs to a process's facts"},
        {R"({"kind":"facts","pid":4,"md5":"AB"})", "belongs to an image's facts"},
        {R"({"kind":"facts","path":"C:\\a.exe","signer":"S"})", "needs the \"trust\" answer"},
        {R"({"kind":"facts","path":"C:\\a.exe","colour":"x"})", "unknown field \"colour\""},
        {R"({"kind":"facts","pid":4,"directory":7})", "must be a string"},
        {R"({"kind":"facts","path":"C:\\a.exe","trust":-1})", "out of range"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.line);
        Parsed p(std::string(kProgram) + c.line + "\n");
        INFO(p.error);
        CHECK_FALSE(p.ok);
        CHECK(std::strstr(p.error, c.message) != nullptr);
    }
    const std::string longName(256, 'n');
    Parsed tooLong(std::string(kProgram) + R"({"kind":"facts","path":"C:\\a.exe","product":")" +
                   longName + "\"}\n");
    CHECK_FALSE(tooLong.ok);
    CHECK(std::strstr(tooLong.error, "fewer than 256 characters") != nullptr);
}

TEST_CASE("the stand-ins answer a scenario's facts, and only those") {
    Parsed p(std::string(kProgram) +
             R"({"kind":"facts","path":"C:\\S\\a.exe","originalFileName":"orig.exe","description":"D",)"
             R"("md5":"AA","sha1":"BB","sha256":"CC","imphash":"DD","signer":"Signer","trust":0})"
             "\n"
             R"({"kind":"facts","path":"C:\\S\\b.dll","md5":"AA","sha1":"BB"})"
             "\n"
             R"({"kind":"facts","pid":4242,"user":"LAB\\an","integrityLevel":12288,"directory":"C:\\S\\"})"
             "\n"
             R"({"kind":"facts","pid":77,"logonId":999})"
             "\n"
             R"({"kind":"facts","key":"\\REGISTRY\\MACHINE\\SOFTWARE\\Run","value":"Up","data":"C:\\u.exe"})"
             "\n");
    INFO(p.error);
    REQUIRE(p.ok);
    CHECK(ScenarioHasFacts(&p.sc));
    ScenarioStreams streams{};
    ScriptScenarioStandIns(&p.sc, &streams);

    // Image facts by path, any case; the hashes composed as rules expect them.
    ImageFacts image{};
    REQUIRE(ReadScenarioImageFacts(&p.sc, u"c:\\s\\A.EXE", &image));
    CHECK(image.status == ImageFactsStatus::Read);
    CHECK(std::string(image.originalFileName.text) == "orig.exe");
    CHECK(image.description.known);
    CHECK_FALSE(image.product.known);
    CHECK(std::string(image.hashes) == "SHA1=BB,MD5=AA,SHA256=CC,IMPHASH=DD");
    // Digests given only in part are not known, nor are the hashes.
    REQUIRE(ReadScenarioImageFacts(&p.sc, u"C:\\S\\b.dll", &image));
    CHECK_FALSE(image.digestsKnown);
    CHECK_FALSE(image.hashesKnown);
    CHECK_FALSE(ReadScenarioImageFacts(&p.sc, u"C:\\S\\c.dll", &image));
    CHECK(image.status == ImageFactsStatus::CannotOpen);
    const FactsWorkerConfig config = ScenarioFactsConfig(&p.sc);
    CHECK((config.readImage == &ReadScenarioImageFacts && config.readImageContext == &p.sc));

    // The signature of the path with a trust answer; none for another.
    FileTrust trust{};
    REQUIRE(CheckFileTrust(u"C:\\S\\a.exe", &trust));
    CHECK(trust.trustResult == 0);
    CHECK(U8(trust.signer) == "Signer");
    CHECK_FALSE(CheckFileTrust(u"C:\\S\\b.dll", &trust));

    // Tokens and folders by process id; a fact not given is not known.
    ProcessTokenFacts token{};
    REQUIRE(ReadProcessTokenFacts(4242, &token));
    CHECK(U8(token.user) == "LAB\\an");
    CHECK((token.integrityKnown && token.integrityRid == 0x3000));
    CHECK_FALSE(token.logonIdKnown);
    REQUIRE(ReadProcessTokenFacts(77, &token));
    CHECK_FALSE(token.userKnown);
    CHECK((token.logonIdKnown && token.logonId == 999));
    ProcessDirectory directory{};
    REQUIRE(ReadProcessCurrentDirectory(4242, &directory));
    CHECK(U8(directory.path) == "C:\\S\\");
    CHECK_FALSE(ReadProcessCurrentDirectory(77, &directory));

    // A registry value: a text, written before any event of the recording.
    static RegistryValue value;
    ReadRegistryValue(u"HKLM\\SOFTWARE\\Run", u"up", &value);
    REQUIRE(value.status == kRegistryValueRead);
    CHECK(value.type == kRegSz);
    CHECK(value.keyLastWrite == 1);
    char16_t details[kDetailsChars];
    CHECK(RegistryDetailsText(value, details, kDetailsChars) == kDetailsWhole);
    CHECK(U8(details) == "C:\\u.exe");

    // A scenario without facts lines reads none and leaves no earlier facts behind.
    Parsed none(kProgram);
    REQUIRE(none.ok);
    CHECK_FALSE(ScenarioHasFacts(&none.sc));
    ScriptScenarioStandIns(&none.sc, &streams);
    CHECK_FALSE(ReadProcessTokenFacts(4242, &token));
    CHECK_FALSE(CheckFileTrust(u"C:\\S\\a.exe", &trust));
    ReadRegistryValue(u"HKLM\\SOFTWARE\\Run", u"up", &value);
    CHECK(value.status != kRegistryValueRead);
}
