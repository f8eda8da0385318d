#include "facts/yara_reader.h"

#include <cstring>

#include "facts/export_facts.h"

#if OLV_HAVE_LIBYARA
#include <yara.h>
#endif

namespace olv {

void CopyVersionText(const char* text, size_t length, FactText* out) {
    std::memset(out, 0, sizeof *out);
    out->known = true;
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t need = byte < 0x80 ? 1 : 2;
        if (used + need + 1 > sizeof out->text) {
            out->truncated = true;
            break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            out->text[used++] = ' ';
        } else if (byte < 0x80) {
            out->text[used++] = static_cast<char>(byte);
        } else {
            out->text[used++] = static_cast<char>(0xC0 | (byte >> 6));
            out->text[used++] = static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    out->text[used] = '\0';
}

bool CopyDigest(const char* text, size_t length, size_t digits, char* out) {
    out[0] = '\0';
    if (!text || length != digits) return false;
    for (size_t i = 0; i < digits; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            out[0] = '\0';
            return false;
        }
        out[i] = c;
    }
    out[digits] = '\0';
    return true;
}

#if OLV_HAVE_LIBYARA

bool StartYara() {
    static const bool started = yr_initialize() == ERROR_SUCCESS; // thread-safe once
    return started;
}

namespace {

// Each fact is handed out by the console module, one rule a fact so that no short-circuit skips
// one. A fact libyara does not know (not a PE file, no such version text) is undefined, and a
// call with an undefined argument logs nothing: unknown.
constexpr const char kRules[] = R"(import "pe"
import "hash"
import "console"
rule facts_md5 { condition: console.log("md5=", hash.md5(0, filesize)) }
rule facts_sha1 { condition: console.log("sha1=", hash.sha1(0, filesize)) }
rule facts_sha256 { condition: console.log("sha256=", hash.sha256(0, filesize)) }
rule facts_pe { condition: console.log("pe=", pe.is_pe) }
rule facts_imphash { condition: console.log("imphash=", pe.imphash()) }
rule facts_original { condition: console.log("v0=", pe.version_info["OriginalFilename"]) }
rule facts_description { condition: console.log("v1=", pe.version_info["FileDescription"]) }
rule facts_product { condition: console.log("v2=", pe.version_info["ProductName"]) }
rule facts_company { condition: console.log("v3=", pe.version_info["CompanyName"]) }
rule facts_version { condition: console.log("v4=", pe.version_info["FileVersion"]) }
)";

// Hashing 256 MB takes about a second; this bounds a pathological file, not a normal one.
constexpr int kScanTimeoutSeconds = 60;

struct Reader {
    bool ready;
    YR_RULES* rules;
};

Reader StartReader() {
    Reader reader{false, nullptr};
    if (!StartYara()) return reader;
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS || !compiler) return reader;
    if (yr_compiler_add_string(compiler, kRules, nullptr) == 0 &&
        yr_compiler_get_rules(compiler, &reader.rules) == ERROR_SUCCESS && reader.rules)
        reader.ready = true;
    yr_compiler_destroy(compiler);
    return reader;
}

const Reader& TheReader() {
    static const Reader reader = StartReader(); // thread-safe once
    return reader;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The console module writes the bytes of a text it cannot print as "\xhh"; this undoes that
// into out (capacity bytes, terminated). Returns the length.
size_t Unescape(const char* text, char* out, size_t capacity) {
    size_t used = 0;
    while (*text && used + 1 < capacity) {
        if (text[0] == '\\' && text[1] == 'x' && HexValue(text[2]) >= 0 && HexValue(text[3]) >= 0) {
            out[used++] = static_cast<char>(HexValue(text[2]) * 16 + HexValue(text[3]));
            text += 4;
        } else {
            out[used++] = *text++;
        }
    }
    out[used] = '\0';
    return used;
}

struct ScanState {
    ImageFacts* facts;
    int digests; // of the three
};

const char* AfterTag(const char* message, const char* tag) {
    const size_t length = std::strlen(tag);
    return std::strncmp(message, tag, length) == 0 ? message + length : nullptr;
}

void OnLog(ScanState* state, const char* message) {
    ImageFacts* facts = state->facts;
    const char* value = nullptr;
    if ((value = AfterTag(message, "md5="))) {
        state->digests += CopyDigest(value, std::strlen(value), 32, facts->md5);
    } else if ((value = AfterTag(message, "sha1="))) {
        state->digests += CopyDigest(value, std::strlen(value), 40, facts->sha1);
    } else if ((value = AfterTag(message, "sha256="))) {
        state->digests += CopyDigest(value, std::strlen(value), 64, facts->sha256);
    } else if ((value = AfterTag(message, "pe="))) {
        facts->isPe = std::strcmp(value, "1") == 0;
    } else if ((value = AfterTag(message, "imphash="))) {
        facts->imphashKnown = CopyDigest(value, std::strlen(value), 32, facts->imphash);
    } else if (message[0] == 'v' && message[1] >= '0' && message[1] <= '4' && message[2] == '=') {
        FactText* fields[] = {&facts->originalFileName, &facts->description, &facts->product,
                              &facts->company, &facts->fileVersion};
        // libyara keeps at most 255 bytes of a version text.
        char text[kFactTextCapacity];
        const size_t length = Unescape(message + 3, text, sizeof text);
        CopyVersionText(text, length, fields[message[1] - '0']);
    }
}

int OnScanMessage(YR_SCAN_CONTEXT*, int message, void* data, void* user) {
    if (message == CALLBACK_MSG_CONSOLE_LOG && data)
        OnLog(static_cast<ScanState*>(user), static_cast<const char*>(data));
    return CALLBACK_CONTINUE;
}

} // namespace

bool YaraReadFacts(const uint8_t* bytes, size_t size, ImageFacts* facts) {
    const Reader& reader = TheReader();
    if (!reader.ready) {
        facts->status = ImageFactsStatus::NoReader;
        return false;
    }
    ScanState state{facts, 0};
    // The bytes are this process's own memory, not a mapped file that could shrink under the
    // scan, so libyara need not install its process-wide fault handlers.
    const int result = yr_rules_scan_mem(reader.rules, bytes, size, SCAN_FLAGS_NO_TRYCATCH,
                                         OnScanMessage, &state, kScanTimeoutSeconds);
    if (result != ERROR_SUCCESS) {
        const uint64_t keepSize = facts->size;
        std::memset(facts, 0, sizeof *facts);
        facts->size = keepSize;
        facts->status = ImageFactsStatus::ScanFailed;
        facts->systemError = static_cast<uint32_t>(result);
        return false;
    }
    facts->digestsKnown = state.digests == 3;
    if (!facts->digestsKnown) facts->md5[0] = facts->sha1[0] = facts->sha256[0] = '\0';
    // An import hash without the PE file it belongs to is not kept, nor the hash of an empty
    // list: libyara gives it alike to a file without imports and to one whose import table it
    // could not read, and the convention gives such a file no import hash at all.
    if (!facts->isPe || (facts->imphashKnown &&
                         std::strcmp(facts->imphash, "D41D8CD98F00B204E9800998ECF8427E") == 0)) {
        facts->imphashKnown = false;
        facts->imphash[0] = '\0';
    }
    return true;
}

namespace {

// The export at the external start_rva: its name is logged; pe= says whether the file is a PE
// file at all. Export entries give file offsets, so the address goes through rva_to_offset. An
// undefined operand does not stop an "and", so the comparison is made of defined values only:
// otherwise an address outside the file, or a forwarded export, would log the name beside it.
constexpr const char kExportRules[] = R"(import "pe"
import "console"
rule export_pe { condition: console.log("pe=", pe.is_pe) }
rule export_at { condition: for any i in (0..pe.number_of_exports - 1):
    ((defined pe.rva_to_offset(start_rva) and defined pe.export_details[i].offset and
      pe.export_details[i].offset == pe.rva_to_offset(start_rva)) and
     console.log("fn=", pe.export_details[i].name)) }
)";

YR_RULES* StartExportRules() {
    if (!StartYara()) return nullptr;
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS || !compiler) return nullptr;
    YR_RULES* rules = nullptr;
    if (yr_compiler_define_integer_variable(compiler, "start_rva", 0) != ERROR_SUCCESS ||
        yr_compiler_add_string(compiler, kExportRules, nullptr) != 0 ||
        yr_compiler_get_rules(compiler, &rules) != ERROR_SUCCESS) {
        rules = nullptr;
    }
    yr_compiler_destroy(compiler);
    return rules;
}

YR_RULES* ExportRules() {
    static YR_RULES* const rules = StartExportRules(); // thread-safe once
    return rules;
}

struct ExportScan {
    ExportFacts* facts;
    bool isPe;
};

int OnExportMessage(YR_SCAN_CONTEXT*, int message, void* data, void* user) {
    if (message != CALLBACK_MSG_CONSOLE_LOG || !data) return CALLBACK_CONTINUE;
    auto* scan = static_cast<ExportScan*>(user);
    const auto* text = static_cast<const char*>(data);
    if (std::strncmp(text, "pe=", 3) == 0) {
        scan->isPe = std::strcmp(text + 3, "1") == 0;
    } else if (std::strncmp(text, "fn=", 3) == 0 && scan->facts->name[0] == '\0') {
        char name[kExportNameChars];
        size_t length = Unescape(text + 3, name, sizeof name);
        // A name cut short ends at a character boundary, as every text the facts keep.
        size_t lead = length;
        while (lead > 0 && (static_cast<unsigned char>(name[lead - 1]) & 0xC0) == 0x80)
            --lead;
        if (lead > 0) {
            const auto c = static_cast<unsigned char>(name[lead - 1]);
            const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (lead - 1 + need > length) length = lead - 1;
        }
        name[length] = '\0';
        std::memcpy(scan->facts->name, name, length + 1);
    }
    return CALLBACK_CONTINUE;
}

} // namespace

bool ExportAtFromBytes(const uint8_t* bytes, size_t size, uint32_t rva, ExportFacts* facts) {
    facts->known = false;
    facts->name[0] = '\0';
    YR_RULES* rules = ExportRules();
    if (rules == nullptr) {
        facts->status = kExportNoReader;
        return false;
    }
    // A scanner of its own: the address is this scan's variable, and the rules stay shared.
    YR_SCANNER* scanner = nullptr;
    if (yr_scanner_create(rules, &scanner) != ERROR_SUCCESS || !scanner) {
        facts->status = kExportNoMemory;
        return false;
    }
    ExportScan scan{facts, false};
    yr_scanner_set_callback(scanner, OnExportMessage, &scan);
    yr_scanner_set_flags(scanner, SCAN_FLAGS_NO_TRYCATCH);
    yr_scanner_set_timeout(scanner, kScanTimeoutSeconds);
    const bool ok = yr_scanner_define_integer_variable(scanner, "start_rva", rva) == ERROR_SUCCESS &&
                    yr_scanner_scan_mem(scanner, bytes, size) == ERROR_SUCCESS;
    yr_scanner_destroy(scanner);
    if (!ok) {
        facts->status = kExportReadFailed;
        facts->name[0] = '\0';
        return false;
    }
    facts->status = kExportRead;
    facts->known = scan.isPe;
    if (!scan.isPe) facts->name[0] = '\0';
    return true;
}

#else // a build without libyara: no facts, said as such

bool ExportAtFromBytes(const uint8_t*, size_t, uint32_t, ExportFacts* facts) {
    facts->known = false;
    facts->name[0] = '\0';
    facts->status = kExportNoReader;
    return false;
}

bool StartYara() {
    return false;
}

bool YaraReadFacts(const uint8_t*, size_t, ImageFacts* facts) {
    facts->status = ImageFactsStatus::NoReader;
    return false;
}

#endif

} // namespace olv
