#include "facts/yara_rules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/atomic.h"
#include "base/text.h"
#include "facts/yara_reader.h"
#include "platform/files.h"
#include "platform/hash_table.h"
#include "platform/memory.h"

#if OLV_HAVE_LIBYARA
#include <yara.h>
#endif

namespace olv {

// ---------------------------------------------------------------------------------------------
// Severity

const char* YaraSeverityName(YaraSeverity severity) {
    switch (severity) {
    case YaraSeverity::Low:
        return "Low";
    case YaraSeverity::Medium:
        return "Medium";
    case YaraSeverity::High:
        return "High";
    case YaraSeverity::Critical:
        return "Critical";
    }
    return "?";
}

bool YaraSeverityFromText(const char* text, YaraSeverity* severity) {
    if (!text) return false;
    while (*text == ' ' || *text == '\t')
        ++text;
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        --length;
    struct Name {
        const char* name;
        YaraSeverity severity;
    };
    static const Name kNames[] = {{"low", YaraSeverity::Low},
                                  {"medium", YaraSeverity::Medium},
                                  {"high", YaraSeverity::High},
                                  {"critical", YaraSeverity::Critical}};
    for (const Name& n : kNames) {
        if (std::strlen(n.name) != length) continue;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == n.name[i];
        }
        if (same) {
            *severity = n.severity;
            return true;
        }
    }
    // A number written as text ("7") reads as the number.
    if (length == 0 || length > 2) return false;
    int64_t number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + (text[i] - '0');
    }
    return YaraSeverityFromNumber(number, severity);
}

bool YaraSeverityFromNumber(int64_t number, YaraSeverity* severity) {
    if (number < 0 || number > 10) return false;
    *severity = number <= 3   ? YaraSeverity::Low
                : number <= 6 ? YaraSeverity::Medium
                : number <= 8 ? YaraSeverity::High
                              : YaraSeverity::Critical;
    return true;
}

const char* YaraScanStatusName(YaraScanStatus status) {
    switch (status) {
    case YaraScanStatus::Scanned:
        return "scanned";
    case YaraScanStatus::NoRules:
        return "no rules";
    case YaraScanStatus::CannotOpen:
        return "cannot be opened";
    case YaraScanStatus::TooLarge:
        return "too large";
    case YaraScanStatus::ReadFailed:
        return "read failed";
    case YaraScanStatus::NoMemory:
        return "no memory";
    case YaraScanStatus::TimedOut:
        return "timed out";
    case YaraScanStatus::ScanFailed:
        return "scan failed";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------
// Loading

namespace {

// Copies UTF-8 text into out (capacity bytes, terminated), cut at a character boundary.
void CopyUtf8(char* out, size_t capacity, const char* text) {
    size_t length = text ? std::strlen(text) : 0;
    if (length >= capacity) {
        length = capacity - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    if (length) std::memcpy(out, text, length);
    out[length] = '\0';
}

void AddError(YaraRuleSet* set, const char16_t* file, uint32_t line, YaraRuleErrorKind kind,
              const char* message) {
    ++set->errorCount;
    if (!set->errors || set->errorsListed >= set->errorCapacity) return;
    YaraRuleError& e = set->errors[set->errorsListed++];
    std::memset(&e, 0, sizeof e);
    CopyBounded(e.file, kYaraFileChars, file);
    e.line = line;
    e.kind = kind;
    CopyUtf8(e.message, sizeof e.message, message);
}

void SetFolderError(YaraRuleSet* set, const char* text) {
    CopyUtf8(set->folderError, sizeof set->folderError, text);
}

bool StartSet(YaraRuleSet* set, uint32_t maxListedErrors) {
    std::memset(set, 0, sizeof *set);
    static uint32_t lastId = 0;
    set->id = AtomicAdd(lastId, 1) + 1;
    if (maxListedErrors == 0) return true;
    set->errors =
        static_cast<YaraRuleError*>(AllocZeroed(sizeof(YaraRuleError) * size_t{maxListedErrors}));
    set->errorCapacity = set->errors ? maxListedErrors : 0;
    if (!set->errors) {
        SetFolderError(set, "There was not enough memory to load the rules.");
        return false;
    }
    return true;
}

// A rule file read and checked, waiting to be compiled.
struct RuleText {
    std::u16string file; // relative
    std::string name;    // the same in UTF-8: its namespace
    std::string text;
    bool good;
};

// A UTF-8 byte order mark (as editors on Windows write one) is not YARA's: left out.
void DropByteOrderMark(std::string* text) {
    if (text->size() >= 3 && std::memcmp(text->data(), "\xEF\xBB\xBF", 3) == 0) text->erase(0, 3);
}

// Checks what libyara cannot be given: a text with a NUL byte would be cut short there.
bool CheckText(YaraRuleSet* set, const char16_t* file, const char* text, size_t size,
               uint64_t maxBytes) {
    if (size > maxBytes) {
        char message[96];
        std::snprintf(message, sizeof message, "%zu bytes, over the %u KiB a rule file may have",
                      size, static_cast<unsigned>(maxBytes >> 10));
        AddError(set, file, 0, YaraRuleErrorKind::TooLarge, message);
        return false;
    }
    const void* nul = size ? std::memchr(text, 0, size) : nullptr;
    if (nul) {
        char message[96];
        std::snprintf(message, sizeof message, "not a text: a NUL byte at offset %zu",
                      static_cast<size_t>(static_cast<const char*>(nul) - text));
        AddError(set, file, 0, YaraRuleErrorKind::NotText, message);
        return false;
    }
    return true;
}

#if OLV_HAVE_LIBYARA

struct CompileContext {
    YaraRuleSet* set;
    const char16_t* file;
    uint32_t warnings;
};

void OnCompilerMessage(int level, const char*, int line, const YR_RULE*, const char* message,
                       void* user) {
    auto* c = static_cast<CompileContext*>(user);
    if (level == YARA_ERROR_LEVEL_WARNING) {
        ++c->warnings;
        return;
    }
    // libyara's own words when a file includes another and no include callback is set.
    const bool include = message && std::strcmp(message, "includes are disabled") == 0;
    AddError(c->set, c->file, line > 0 ? static_cast<uint32_t>(line) : 0,
             include ? YaraRuleErrorKind::Include : YaraRuleErrorKind::Syntax, message);
}

// Compiles the good texts into one rule set; returns the index of the first that failed (its
// errors listed), texts.size() when none did (*rules set), or more when libyara itself failed.
size_t CompileTogether(YaraRuleSet* set, std::vector<RuleText>* texts, YR_RULES** rules,
                       uint32_t* warnings) {
    *rules = nullptr;
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS || !compiler) return texts->size() + 1;
    // No include callback: libyara then refuses every `include` ("includes are disabled"), so a
    // rule file never makes it read another file.
    yr_compiler_set_include_callback(compiler, nullptr, nullptr, nullptr);
    CompileContext context{set, u"", 0};
    yr_compiler_set_callback(compiler, OnCompilerMessage, &context);
    size_t failed = texts->size();
    for (size_t i = 0; i < texts->size(); ++i) {
        RuleText& t = (*texts)[i];
        if (!t.good) continue;
        context.file = t.file.c_str();
        if (yr_compiler_add_string(compiler, t.text.c_str(), t.name.c_str()) != 0) {
            failed = i;
            break;
        }
    }
    if (failed == texts->size() && yr_compiler_get_rules(compiler, rules) != ERROR_SUCCESS)
        failed = texts->size() + 1;
    yr_compiler_destroy(compiler);
    *warnings = context.warnings;
    return failed;
}

// Compiles one file alone, so its errors are listed with their lines; false when it has any.
bool CompileAlone(YaraRuleSet* set, RuleText* t) {
    if (!StartYara()) return true; // CompileAll says why nothing loads
    std::vector<RuleText> one;
    one.push_back(RuleText{t->file, t->name, std::string(), true});
    one[0].text.swap(t->text);
    YR_RULES* rules = nullptr;
    uint32_t warnings = 0;
    const size_t failed = CompileTogether(set, &one, &rules, &warnings);
    t->text.swap(one[0].text);
    if (rules) yr_rules_destroy(rules);
    if (failed > 1)
        AddError(set, t->file.c_str(), 0, YaraRuleErrorKind::Syntax,
                 "the YARA library could not compile it (memory)");
    return failed == 1;
}

// The good files (each compiled alone before) together, once.
void CompileAll(YaraRuleSet* set, std::vector<RuleText>* texts) {
    if (!StartYara()) {
        SetFolderError(set, "The YARA library could not be started.");
        return;
    }
    // Each good file compiled alone; together they may still meet a fault of libyara's (its
    // memory): such a file is left out, its error listed, and the rest compiled again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        YR_RULES* rules = nullptr;
        uint32_t warnings = 0;
        const size_t failed = CompileTogether(set, texts, &rules, &warnings);
        if (failed == texts->size()) {
            set->rules = rules;
            set->warnings = warnings;
            uint32_t count = 0;
            const YR_RULE* rule = nullptr;
            yr_rules_foreach(rules, rule) {
                ++count;
            }
            set->rulesLoaded = count;
            for (const RuleText& t : *texts)
                set->filesLoaded += t.good ? 1 : 0;
            return;
        }
        if (failed > texts->size()) break;
        (*texts)[failed].good = false;
    }
    SetFolderError(set, "The rules could not be compiled together.");
}

#else // a build without libyara: nothing compiles, said as such

bool CompileAlone(YaraRuleSet*, RuleText*) {
    return true; // CompileAll says why nothing loads
}

void CompileAll(YaraRuleSet* set, std::vector<RuleText>*) {
    SetFolderError(set, "This build has no YARA support.");
}

#endif

// ---- the folder walk (breadth by level; sorted as a whole afterwards)

enum class EntryKind : uint8_t { RuleFile, BadName, TooDeep, Unlistable };

struct Entry {
    std::u16string path; // relative to the folder
    EntryKind kind;
    uint32_t error;
};

struct Listing {
    std::vector<Entry> entries;
    std::vector<std::u16string> folders; // sub-folders of the folder being listed
    const std::u16string* prefix;
    const YaraFolderBounds* bounds;
    uint32_t ruleFiles;
    uint32_t foldersSeen;
    bool tooMany;
};

bool IsRuleFile(const char16_t* name) {
    const size_t n = TextLength(name);
    for (const char16_t* suffix : {u".yar", u".yara"}) {
        const size_t m = TextLength(suffix);
        if (n <= m) continue;
        bool same = true;
        for (size_t i = 0; i < m && same; ++i)
            same = FoldAscii(name[n - m + i]) == suffix[i];
        if (same) return true;
    }
    return false;
}

bool VisitEntry(void* context, const FolderEntry& entry) {
    auto* listing = static_cast<Listing*>(context);
    if (!entry.isFolder && !IsRuleFile(entry.name)) return true;
    std::u16string path = *listing->prefix;
    if (!path.empty()) path.push_back(kPathSeparator);
    path += entry.name;
    if (!entry.nameIsText) ReplaceUnpairedSurrogates(path.data(), path.size());
    if (entry.isFolder) {
        if (++listing->foldersSeen > listing->bounds->maxFolders) {
            listing->tooMany = true;
            return false;
        }
        if (entry.nameIsText)
            listing->folders.push_back(path);
        else
            listing->entries.push_back(Entry{path, EntryKind::BadName, 0});
        return true;
    }
    if (++listing->ruleFiles > listing->bounds->maxFiles) {
        listing->tooMany = true;
        return false;
    }
    listing->entries.push_back(
        Entry{path, entry.nameIsText ? EntryKind::RuleFile : EntryKind::BadName, 0});
    return true;
}

bool FoldedLess(const std::u16string& a, const std::u16string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = FoldAscii(a[i]), y = FoldAscii(b[i]);
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::u16string Join(const std::u16string& folder, const std::u16string& relative) {
    std::u16string path = folder;
    if (!path.empty() && path.back() != u'\\' && path.back() != u'/')
        path.push_back(kPathSeparator);
    return path + relative;
}

std::string ToUtf8(const std::u16string& text) {
    std::string out(Utf16ToUtf8(text.c_str(), text.size(), nullptr, 0) + 1, '\0');
    out.resize(Utf16ToUtf8(text.c_str(), text.size(), out.data(), out.size()));
    return out;
}

// Reads one rule file into t->text; false (its error listed) when it cannot be read whole.
bool ReadRuleFile(YaraRuleSet* set, const std::u16string& path, uint64_t maxBytes, RuleText* t) {
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path.c_str(), &error);
    char message[96];
    if (!file) {
        std::snprintf(message, sizeof message, "cannot be opened (error %u)", error);
        AddError(set, t->file.c_str(), 0, YaraRuleErrorKind::Unreadable, message);
        return false;
    }
    int64_t size = 0;
    if (!FileSize(file, &size) || size < 0) {
        CloseFile(file);
        AddError(set, t->file.c_str(), 0, YaraRuleErrorKind::Unreadable, "its size cannot be read");
        return false;
    }
    if (static_cast<uint64_t>(size) > maxBytes) {
        CloseFile(file);
        return CheckText(set, t->file.c_str(), nullptr, static_cast<size_t>(size), maxBytes);
    }
    // One byte more than the size said, to see a file that grew since.
    t->text.resize(static_cast<size_t>(size) + 1);
    uint32_t got = 0;
    const bool ok =
        ReadFileBytes(file, t->text.data(), static_cast<uint32_t>(t->text.size()), &got);
    CloseFile(file);
    if (!ok || got > static_cast<uint64_t>(size)) {
        AddError(set, t->file.c_str(), 0, YaraRuleErrorKind::Unreadable,
                 ok ? "it changed while it was read" : "cannot be read");
        return false;
    }
    t->text.resize(got);
    if (!CheckText(set, t->file.c_str(), t->text.data(), t->text.size(), maxBytes)) return false;
    DropByteOrderMark(&t->text);
    return true;
}

bool LoadFolder(const char16_t* folder, YaraRuleSet* set, const YaraFolderBounds& bounds) {
    const std::u16string root = folder ? folder : u"";
    bool isFolder = false;
    if (root.empty() || !ReadFileAttributes(root.c_str(), &isFolder) || !isFolder) {
        SetFolderError(set, "The folder cannot be found.");
        return false;
    }
    Listing listing{};
    listing.bounds = &bounds;
    std::vector<std::u16string> level{std::u16string()};
    for (uint32_t depth = 0; !level.empty() && !listing.tooMany; ++depth) {
        std::vector<std::u16string> next;
        for (const std::u16string& relative : level) {
            if (depth >= bounds.maxDepth) {
                listing.entries.push_back(Entry{relative, EntryKind::TooDeep, 0});
                continue;
            }
            listing.folders.clear();
            listing.prefix = &relative;
            uint32_t error = 0;
            if (!ListFolder(relative.empty() ? root.c_str() : Join(root, relative).c_str(),
                            &VisitEntry, &listing, &error)) {
                if (relative.empty()) {
                    char text[96];
                    std::snprintf(text, sizeof text, "The folder cannot be listed (error %u).",
                                  error);
                    SetFolderError(set, text);
                    return false;
                }
                listing.entries.push_back(Entry{relative, EntryKind::Unlistable, error});
                continue;
            }
            if (listing.tooMany) break;
            next.insert(next.end(), listing.folders.begin(), listing.folders.end());
        }
        level.swap(next);
    }
    if (listing.tooMany) {
        char text[160];
        std::snprintf(text, sizeof text, "It holds more than %u %s; no rule was read.",
                      static_cast<unsigned>(listing.ruleFiles > bounds.maxFiles
                                                ? bounds.maxFiles
                                                : bounds.maxFolders),
                      listing.ruleFiles > bounds.maxFiles ? "rule files" : "folders");
        SetFolderError(set, text);
        return false;
    }
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const Entry& a, const Entry& b) { return FoldedLess(a.path, b.path); });
    std::vector<RuleText> texts;
    uint64_t textBytes = 0;
    for (const Entry& entry : listing.entries) {
        char message[128];
        switch (entry.kind) {
        case EntryKind::RuleFile: {
            ++set->files;
            RuleText t{entry.path, ToUtf8(entry.path), std::string(), false};
            t.good = ReadRuleFile(set, Join(root, entry.path), bounds.maxFileBytes, &t);
            // The texts are kept until all are compiled together: bounded in all.
            if (t.good && textBytes + t.text.size() > bounds.maxTotalBytes) {
                std::snprintf(message, sizeof message,
                              "not read: the folder's rule files pass the %llu KiB read in all",
                              static_cast<unsigned long long>(bounds.maxTotalBytes >> 10));
                AddError(set, entry.path.c_str(), 0, YaraRuleErrorKind::TooLarge, message);
                t.good = false;
            }
            t.good = t.good && CompileAlone(set, &t);
            if (t.good) {
                textBytes += t.text.size();
                texts.push_back(std::move(t));
            }
            break;
        }
        case EntryKind::BadName:
            ++set->files;
            AddError(set, entry.path.c_str(), 0, YaraRuleErrorKind::Unreadable,
                     "its name is not valid text; not read");
            break;
        case EntryKind::TooDeep:
            std::snprintf(message, sizeof message,
                          "a folder nested deeper than the %u levels read; its files were not read",
                          static_cast<unsigned>(bounds.maxDepth));
            AddError(set, entry.path.c_str(), 0, YaraRuleErrorKind::TooDeep, message);
            break;
        case EntryKind::Unlistable:
            std::snprintf(message, sizeof message,
                          "the folder cannot be listed (error %u); its files were not read",
                          static_cast<unsigned>(entry.error));
            AddError(set, entry.path.c_str(), 0, YaraRuleErrorKind::Unreadable, message);
            break;
        }
    }
    if (!texts.empty()) CompileAll(set, &texts);
    return set->folderError[0] == '\0';
}

} // namespace

bool LoadYaraRuleFolder(const char16_t* folder, YaraRuleSet* set, const YaraFolderBounds& bounds) {
    if (!StartSet(set, bounds.maxListedErrors)) return false;
    try {
        return LoadFolder(folder, set, bounds);
    } catch (...) {
        FreeYaraRuleSet(set);
        StartSet(set, 0);
        SetFolderError(set, "There was not enough memory to read the folder.");
        return false;
    }
}

bool LoadYaraRuleText(const char* text, size_t size, const char16_t* fileName, YaraRuleSet* set) {
    if (!StartSet(set, kYaraMaxListedErrors)) return false;
    if (!fileName) fileName = u"";
    ++set->files;
    if (!text && size) {
        AddError(set, fileName, 0, YaraRuleErrorKind::Unreadable, "no bytes");
        return true;
    }
    if (!CheckText(set, fileName, text, size, kYaraMaxRuleFileBytes)) return true;
    try {
        std::vector<RuleText> texts;
        texts.push_back(RuleText{fileName, ToUtf8(fileName), std::string(text, size), true});
        DropByteOrderMark(&texts[0].text);
        if (CompileAlone(set, &texts[0])) CompileAll(set, &texts);
    } catch (...) {
        SetFolderError(set, "There was not enough memory to compile the rules.");
    }
    return set->folderError[0] == '\0';
}

bool YaraRulesAvailable() {
    return OLV_HAVE_LIBYARA != 0;
}

void FreeYaraRuleSet(YaraRuleSet* set) {
#if OLV_HAVE_LIBYARA
    if (set->rules) yr_rules_destroy(static_cast<YR_RULES*>(set->rules));
#endif
    FreeBlock(set->errors);
    std::memset(set, 0, sizeof *set);
}

// ---------------------------------------------------------------------------------------------
// The cache

struct YaraScanCacheEntry {
    char sha256[65];
    uint64_t setId;
    YaraScanResult result;
};

bool InitYaraScanCache(YaraScanCache* cache, uint32_t capacity) {
    std::memset(cache, 0, sizeof *cache);
    if (!LruInit(&cache->entries, capacity)) return false;
    InitLock(&cache->lock);
    return true;
}

void ReleaseYaraScanCache(YaraScanCache* cache) {
    if (cache->entries.capacity == 0) return;
    LruFree(&cache->entries, [](YaraScanCacheEntry&) {});
    DeleteLock(&cache->lock);
    std::memset(cache, 0, sizeof *cache);
}

namespace {

// The content's digest (64 hex digits) under the rule set that scanned it.
uint64_t ResultHash(uint64_t setId, const char* sha256) {
    return HashText8As16(reinterpret_cast<const uint8_t*>(sha256), 64) ^ HashNumber(setId);
}

YaraScanCacheEntry* FindEntry(YaraScanCache* cache, uint64_t setId, const char* sha256,
                              uint64_t hash) {
    return LruFind(&cache->entries, hash, [setId, sha256](const YaraScanCacheEntry& e) {
        return e.setId == setId && std::memcmp(e.sha256, sha256, 64) == 0;
    });
}

bool Lookup(YaraScanCache* cache, uint64_t setId, const char* sha256, YaraScanResult* result) {
    const uint64_t hash = ResultHash(setId, sha256);
    LockGuard guard(&cache->lock);
    YaraScanCacheEntry* e = FindEntry(cache, setId, sha256, hash);
    if (!e) return false;
    LruTouch(&cache->entries, e);
    ++cache->hits;
    std::memcpy(result, &e->result, sizeof *result);
    result->fromCache = true;
    return true;
}

void Store(YaraScanCache* cache, uint64_t setId, const char* sha256, const YaraScanResult& result) {
    const uint64_t hash = ResultHash(setId, sha256);
    LockGuard guard(&cache->lock);
    ++cache->scans;
    if (result.status != YaraScanStatus::Scanned) return;
    YaraScanCacheEntry* e = FindEntry(cache, setId, sha256, hash);
    if (e) {
        LruTouch(&cache->entries, e);
    } else {
        bool evicted = false;
        e = LruInsert(&cache->entries, hash, &evicted);
        if (!e) return;
        std::memcpy(e->sha256, sha256, 65);
        e->setId = setId;
    }
    std::memcpy(&e->result, &result, sizeof result);
}

// ---------------------------------------------------------------------------------------------
// Scanning

#if OLV_HAVE_LIBYARA

// The SHA-256 of the content, from libyara's hash module (the same reading the facts use).
struct Digester {
    bool ready;
    YR_RULES* rules;
};

Digester StartDigester() {
    Digester d{false, nullptr};
    if (!StartYara()) return d;
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS || !compiler) return d;
    static const char kRule[] =
        "import \"hash\"\nimport \"console\"\n"
        "rule digest { condition: console.log(hash.sha256(0, filesize)) }\n";
    if (yr_compiler_add_string(compiler, kRule, nullptr) == 0 &&
        yr_compiler_get_rules(compiler, &d.rules) == ERROR_SUCCESS && d.rules)
        d.ready = true;
    yr_compiler_destroy(compiler);
    return d;
}

int OnDigestMessage(YR_SCAN_CONTEXT*, int message, void* data, void* user) {
    if (message == CALLBACK_MSG_CONSOLE_LOG && data) {
        const auto* text = static_cast<const char*>(data);
        CopyDigest(text, std::strlen(text), 64, static_cast<char*>(user));
    }
    return CALLBACK_CONTINUE;
}

bool Digest(const uint8_t* bytes, size_t size, char* sha256) {
    static const Digester digester = StartDigester(); // thread-safe once
    sha256[0] = '\0';
    if (!digester.ready || size == 0) return false;
    const int status = yr_rules_scan_mem(digester.rules, bytes, size, SCAN_FLAGS_NO_TRYCATCH,
                                         OnDigestMessage, sha256, 0);
    return status == ERROR_SUCCESS && sha256[0] != '\0';
}

bool MetaSeverity(const YR_META* meta, YaraSeverity* value) {
    if (meta->type == META_TYPE_STRING) return YaraSeverityFromText(meta->string, value);
    if (meta->type == META_TYPE_INTEGER) return YaraSeverityFromNumber(meta->integer, value);
    return false;
}

// `severity` wins over `threat_level`, whichever comes first; a value neither form reads is as
// if the meta were not there.
void NoteMeta(const YR_RULE* rule, YaraMatch* match) {
    bool fromSeverity = false, fromThreatLevel = false;
    YaraSeverity severity = YaraSeverity::Medium, threatLevel = YaraSeverity::Medium;
    const YR_META* meta = nullptr;
    yr_rule_metas_foreach(rule, meta) {
        if (!fromSeverity && std::strcmp(meta->identifier, "severity") == 0)
            fromSeverity = MetaSeverity(meta, &severity);
        else if (!fromThreatLevel && std::strcmp(meta->identifier, "threat_level") == 0)
            fromThreatLevel = MetaSeverity(meta, &threatLevel);
    }
    match->severityFromMeta = fromSeverity || fromThreatLevel;
    match->severity = fromSeverity      ? severity
                      : fromThreatLevel ? threatLevel
                                        : YaraSeverity::Medium;
}

int OnScanMessage(YR_SCAN_CONTEXT*, int message, void* data, void* user) {
    if (message != CALLBACK_MSG_RULE_MATCHING || !data) return CALLBACK_CONTINUE;
    auto* result = static_cast<YaraScanResult*>(user);
    const auto* rule = static_cast<const YR_RULE*>(data);
    YaraMatch match{};
    CopyUtf8(match.rule, sizeof match.rule, rule->identifier);
    CopyUtf8(match.file, sizeof match.file, rule->ns ? rule->ns->name : nullptr);
    NoteMeta(rule, &match);
    if (result->matchCount == 0 || match.severity > result->highest)
        result->highest = match.severity;
    if (result->matchCount < kYaraMaxMatchesKept)
        std::memcpy(&result->matches[result->matchCount], &match, sizeof match);
    ++result->matchCount;
    return CALLBACK_CONTINUE;
}

void Scan(const YaraRuleSet* set, const uint8_t* bytes, size_t size, int timeoutSeconds,
          YaraScanResult* result) {
    static const uint8_t kNothing = 0;
    const int status =
        yr_rules_scan_mem(static_cast<YR_RULES*>(set->rules), size ? bytes : &kNothing, size,
                          SCAN_FLAGS_NO_TRYCATCH | SCAN_FLAGS_REPORT_RULES_MATCHING, OnScanMessage,
                          result, timeoutSeconds > 0 ? timeoutSeconds : 1);
    if (status == ERROR_SUCCESS) {
        result->status = YaraScanStatus::Scanned;
        return;
    }
    // What matched before the fault is not all that would have: none of it is kept.
    result->matchCount = 0;
    std::memset(result->matches, 0, sizeof result->matches);
    result->status =
        status == ERROR_SCAN_TIMEOUT ? YaraScanStatus::TimedOut : YaraScanStatus::ScanFailed;
    result->systemError = static_cast<uint32_t>(status);
}

#else

bool Digest(const uint8_t*, size_t, char* sha256) {
    sha256[0] = '\0';
    return false;
}

void Scan(const YaraRuleSet*, const uint8_t*, size_t, int, YaraScanResult* result) {
    result->status = YaraScanStatus::NoRules;
}

#endif

} // namespace

namespace {

bool HasRules(const YaraRuleSet* set) {
    return set && set->rules && set->rulesLoaded > 0;
}

// sha256: the content's digest (upper-case hex) when known, else empty: taken here when there is
// a cache to use it.
bool ScanBytes(const YaraRuleSet* set, const uint8_t* bytes, size_t size, YaraScanResult* result,
               YaraScanCache* cache, int timeoutSeconds, char* sha256) {
    std::memset(result, 0, sizeof *result);
    result->size = size;
    if (!HasRules(set) || (!bytes && size)) {
        result->status = YaraScanStatus::NoRules;
        return false;
    }
    const bool digested = cache && (sha256[0] || Digest(bytes, size, sha256));
    if (cache && !digested) {
        LockGuard guard(&cache->lock);
        ++cache->undigested;
    }
    if (digested && Lookup(cache, set->id, sha256, result)) {
        result->size = size;
        return result->status == YaraScanStatus::Scanned;
    }
    Scan(set, bytes, size, timeoutSeconds, result);
    if (digested) Store(cache, set->id, sha256, *result);
    return result->status == YaraScanStatus::Scanned;
}

} // namespace

bool ScanWithYaraRules(const YaraRuleSet* set, const uint8_t* bytes, size_t size,
                       YaraScanResult* result, YaraScanCache* cache, int timeoutSeconds) {
    char sha256[65] = "";
    return ScanBytes(set, bytes, size, result, cache, timeoutSeconds, sha256);
}

bool ScanFileWithYaraRules(const YaraRuleSet* set, const char16_t* path, YaraScanResult* result,
                           YaraScanCache* cache, uint64_t sizeLimit, int timeoutSeconds,
                           const char* knownSha256) {
    std::memset(result, 0, sizeof *result);
    if (!HasRules(set)) {
        result->status = YaraScanStatus::NoRules;
        return false;
    }
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path, &error);
    if (!file) {
        result->status = YaraScanStatus::CannotOpen;
        result->systemError = error;
        return false;
    }
    int64_t size = 0;
    if (!FileSize(file, &size) || size < 0) {
        CloseFile(file);
        result->status = YaraScanStatus::ReadFailed;
        return false;
    }
    const auto bytes = static_cast<uint64_t>(size);
    if (bytes > sizeLimit || bytes >= SIZE_MAX) {
        CloseFile(file);
        result->status = YaraScanStatus::TooLarge;
        result->size = bytes;
        return false;
    }
    char sha256[65] = "";
    if (knownSha256 && cache && CopyDigest(knownSha256, std::strlen(knownSha256), 64, sha256) &&
        Lookup(cache, set->id, sha256, result)) {
        CloseFile(file);
        result->size = bytes;
        return result->status == YaraScanStatus::Scanned;
    }
    // One byte more than the size, so a file that grew while it was read is seen.
    auto* buffer = static_cast<uint8_t*>(AllocZeroed(static_cast<size_t>(bytes) + 1));
    if (!buffer) {
        CloseFile(file);
        result->status = YaraScanStatus::NoMemory;
        result->size = bytes;
        return false;
    }
    uint64_t total = 0;
    bool ok = true;
    constexpr uint32_t kChunk = uint32_t{1} << 24;
    while (ok && total <= bytes) {
        const uint64_t left = bytes + 1 - total;
        const uint32_t ask = left < kChunk ? static_cast<uint32_t>(left) : kChunk;
        uint32_t got = 0;
        if (!ReadFileBytes(file, buffer + total, ask, &got) || got > ask)
            ok = false;
        else if (got == 0)
            break;
        else
            total += got;
    }
    CloseFile(file);
    if (!ok || total != bytes) {
        FreeBlock(buffer);
        result->status = YaraScanStatus::ReadFailed;
        result->size = bytes;
        return false;
    }
    const bool scanned =
        ScanBytes(set, buffer, static_cast<size_t>(bytes), result, cache, timeoutSeconds, sha256);
    FreeBlock(buffer);
    return scanned;
}

} // namespace olv
