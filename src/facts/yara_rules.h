// The analyst's YARA rules: a folder of rule files compiled once into one rule set, and scans of
// file contents against it, with a cache by content so each content is scanned once.
//
// What may run at once: a loaded set is read-only, so any number of threads may scan with it
// (libyara allows 32 scans of one set at a time; a 33rd fails as ScanFailed). Loading and freeing
// a set are the caller's to order: a set is freed only when no scan uses it any more. A cache may
// be shared by every scanning thread (it has its own lock); it is not given out while the lock is
// held, so two threads meeting the same new content may both scan it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lock.h"
#include "platform/lru.h"

namespace olv {

// Bounds of a folder load: a folder holding more rule files or sub-folders than this loads
// nothing (a part of the rules would be a set nobody chose); deeper folders are listed as
// errors and not read.
constexpr uint32_t kYaraMaxRuleFiles = 10000;
constexpr uint32_t kYaraMaxRuleFolders = 10000;
constexpr uint32_t kYaraMaxFolderDepth = 32;
// A rule file over this size is not read, nor are the files past this many bytes in all.
constexpr uint64_t kYaraMaxRuleFileBytes = uint64_t{1} << 20;
constexpr uint64_t kYaraMaxRuleBytes = uint64_t{64} << 20;
// The bounds of one load; LoadYaraRuleFolder uses these defaults.
struct YaraFolderBounds {
    uint32_t maxFiles;
    uint32_t maxFolders;
    uint32_t maxDepth;
    uint64_t maxFileBytes;
    uint64_t maxTotalBytes;
    uint32_t maxListedErrors; // errors listed one by one; beyond them they are only counted
};
constexpr uint32_t kYaraMaxListedErrors = 256;
constexpr YaraFolderBounds kDefaultYaraFolderBounds{kYaraMaxRuleFiles,   kYaraMaxRuleFolders,
                                                    kYaraMaxFolderDepth, kYaraMaxRuleFileBytes,
                                                    kYaraMaxRuleBytes,   kYaraMaxListedErrors};

constexpr size_t kYaraFileChars = 260;    // a rule file's path, relative to the folder
constexpr size_t kYaraMessageChars = 256; // UTF-8, terminated

// Why a rule file did not load.
enum class YaraRuleErrorKind : uint8_t {
    Syntax,     // libyara refused it: message is libyara's, line where it found the fault
    Include,    // it includes another file: never read (the folder's files all load anyway)
    TooLarge,   // over the bytes a file may have, or past the bytes of all files read
    NotText,    // holds a NUL byte
    Unreadable, // could not be opened or read, or its name is not valid text
    TooDeep,    // a folder nested deeper than the levels read: its files were not read
};

struct YaraRuleError {
    char16_t file[kYaraFileChars]; // relative to the folder, terminated (cut to fit)
    uint32_t line;                 // 1-based; 0 when the error has no line
    YaraRuleErrorKind kind;
    char message[kYaraMessageChars];
};

// A loaded folder. Plain; freed by FreeYaraRuleSet. rules is null when nothing compiled.
struct YaraRuleSet {
    void* rules;                         // libyara's compiled rules
    uint64_t id;                         // unique in the process: what a cache's results belong to
    char folderError[kYaraMessageChars]; // empty when the folder was read
    uint32_t files;                      // rule files met (loaded and refused)
    uint32_t filesLoaded;
    uint32_t rulesLoaded;   // rules in the compiled set
    uint32_t warnings;      // libyara's warnings (slow strings and such) of the loaded files
    uint32_t errorCount;    // all errors, listed or not
    uint32_t errorsListed;  // the first of them, in errors
    uint32_t errorCapacity; // of errors (the bounds' maxListedErrors)
    YaraRuleError* errors;
};

// Reads every *.yar and *.yara file below folder (sub-folders too, in an order that does not
// depend on the file system). Each file is compiled on its own first, so its errors are listed
// with their line; a bad file is left out and the others load; the good ones are then compiled
// once into one set, each in a namespace named by its relative path (so two files may both have
// a rule of one name). `include` is refused: no file outside the listed ones is ever read. False
// when no rule set could be made (folderError says why; an empty folder is not a failure).
bool LoadYaraRuleFolder(const char16_t* folder, YaraRuleSet* set,
                        const YaraFolderBounds& bounds = kDefaultYaraFolderBounds);
// Compiles one rule text (the same checks as a file of a folder) into a set of its own.
bool LoadYaraRuleText(const char* text, size_t size, const char16_t* fileName, YaraRuleSet* set);
void FreeYaraRuleSet(YaraRuleSet* set); // safe on a zero-filled or freed set
// False in a build without libyara: no rule loads and nothing is scanned.
bool YaraRulesAvailable();

enum class YaraSeverity : uint8_t { Low = 1, Medium, High, Critical };
const char* YaraSeverityName(YaraSeverity severity);
// A rule's severity from its meta value: text "low", "medium", "high" or "critical" in any case
// (blanks around it ignored), or a number 0..10 (0-3 Low, 4-6 Medium, 7-8 High, 9-10 Critical).
// False for anything else.
bool YaraSeverityFromText(const char* text, YaraSeverity* severity);
bool YaraSeverityFromNumber(int64_t number, YaraSeverity* severity);

constexpr size_t kYaraRuleNameChars = 128; // libyara's identifiers are at most 128 bytes
constexpr uint32_t kYaraMaxMatchesKept = 16;

struct YaraMatch {
    char rule[kYaraRuleNameChars]; // the rule's identifier
    char file[kYaraFileChars];     // the rule file it is in (UTF-8, relative)
    YaraSeverity severity;         // from its `severity` meta, else `threat_level`, else Medium
    bool severityFromMeta;         // false: Medium for want of a meta that says otherwise
};

enum class YaraScanStatus : uint8_t {
    Scanned,    // matches hold what matched (possibly nothing)
    NoRules,    // no rule set, or one without rules: nothing scanned
    CannotOpen, // the file could not be opened (deleted, locked, denied): systemError says why
    TooLarge,   // over the caller's size limit: not read
    ReadFailed, // opened, but reading failed or the file changed size while it was read
    NoMemory,   // no buffer for its bytes
    TimedOut,   // the scan ran past its timeout: nothing is known of its matches
    ScanFailed, // libyara failed otherwise: systemError holds its code
};
const char* YaraScanStatusName(YaraScanStatus status);

struct YaraScanResult {
    YaraScanStatus status;
    uint32_t systemError;
    uint64_t size;
    bool fromCache;      // the result of an earlier scan of the same content
    uint32_t matchCount; // all matching rules; the first kYaraMaxMatchesKept are in matches
    YaraMatch matches[kYaraMaxMatchesKept];
    YaraSeverity highest; // of all matches; meaningful when matchCount > 0
};

constexpr uint64_t kDefaultYaraScanSizeLimit = uint64_t{64} << 20;
constexpr int kDefaultYaraScanTimeoutSeconds = 30;

// Results kept by the SHA-256 of the content scanned and the rule set that scanned it. When full,
// the entry used longest ago makes room. Only Scanned results are kept.
struct YaraScanCacheEntry;
struct YaraScanCache {
    Lock lock;
    Lru<YaraScanCacheEntry> entries;
    uint64_t hits;       // results served without a scan
    uint64_t scans;      // scans done through the cache
    uint64_t undigested; // contents whose digest could not be taken (scanned, not kept)
};
constexpr uint32_t kDefaultYaraScanCacheEntries = 512;
bool InitYaraScanCache(YaraScanCache* cache, uint32_t capacity = kDefaultYaraScanCacheEntries);
void ReleaseYaraScanCache(YaraScanCache* cache); // safe on one never initialised

// Scans size bytes (bytes may be null when size is 0) with set. cache may be null. True when the
// status is Scanned. timeoutSeconds is libyara's own scan timeout, at least one second (it counts
// whole seconds, and its 0 would mean none).
bool ScanWithYaraRules(const YaraRuleSet* set, const uint8_t* bytes, size_t size,
                       YaraScanResult* result, YaraScanCache* cache = nullptr,
                       int timeoutSeconds = kDefaultYaraScanTimeoutSeconds);
// Reads the file at path (terminated UTF-16; opened sharing reads only, so on Windows a file
// another process still has open for writing is CannotOpen) and scans its bytes. A file over
// sizeLimit is TooLarge and not read. knownSha256 (64 hex digits, or null) is the content's digest
// when the caller has it already (an image's facts): a cached result is then given without reading
// the file, and the caller vouches that the digest is the file's content now.
bool ScanFileWithYaraRules(const YaraRuleSet* set, const char16_t* path, YaraScanResult* result,
                           YaraScanCache* cache = nullptr,
                           uint64_t sizeLimit = kDefaultYaraScanSizeLimit,
                           int timeoutSeconds = kDefaultYaraScanTimeoutSeconds,
                           const char* knownSha256 = nullptr);

} // namespace olv
