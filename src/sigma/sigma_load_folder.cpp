// Reading a folder of rule files: every .yml and .yaml file below it, in an order that does not
// depend on the file system (relative paths sorted, ignoring case), each one loaded or refused.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/atomic.h"
#include "base/text.h"
#include "platform/files.h"
#include "sigma/sigma_engine.h"
#include "sigma/sigma_match_text.h"

namespace olv {

namespace sigma {
bool RefuseFile(SigmaRuleSet* set, const char16_t* fileName, uint32_t reason, const char* detail,
                const char* title = "");
} // namespace sigma

namespace {

// What the walk found: rule files to read, and what it refuses without reading (each in the
// sorted order with the files).
enum class EntryKind : uint8_t {
    kRuleFile,
    kBadFileName,   // a rule file whose name is not valid text
    kBadFolderName, // a folder whose name is not valid text: not listed
    kTooDeep,       // a folder below the deepest level read: not listed
    kUnlistable,    // a folder that could not be listed
};

struct Entry {
    std::u16string path; // relative to the folder loaded
    EntryKind kind;
    uint32_t error; // kUnlistable: the system's error
};

struct Listing {
    std::vector<Entry> entries;
    std::vector<std::u16string> folders; // sub-folders of the folder being listed
    uint32_t maxFiles;
    uint32_t maxFolders;
    uint32_t ruleFiles = 0;
    uint32_t foldersSeen = 0;
    bool tooManyFiles = false;
    bool tooManyFolders = false;
};

bool IsRuleFile(const char16_t* name) {
    const size_t n = TextLength(name);
    auto endsWith = [&](const char16_t* suffix) {
        const size_t m = TextLength(suffix);
        if (n <= m) return false;
        for (size_t i = 0; i < m; ++i) {
            if (FoldAscii(name[n - m + i]) != suffix[i]) return false;
        }
        return true;
    };
    return endsWith(u".yml") || endsWith(u".yaml");
}

struct VisitContext {
    Listing* listing;
    const std::u16string* prefix;
};

// Unpaired surrogates (a name that is not text on Windows) shown as U+FFFD.
void ReplaceUnpaired(std::u16string* text) {
    for (size_t i = 0; i < text->size(); ++i) {
        const char16_t c = (*text)[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text->size() && (*text)[i + 1] >= 0xDC00 && (*text)[i + 1] <= 0xDFFF) ++i;
        else if (high || low) (*text)[i] = 0xFFFD;
    }
}

bool VisitEntry(void* context, const FolderEntry& entry) {
    auto* c = static_cast<VisitContext*>(context);
    Listing* listing = c->listing;
    const bool ruleFile = !entry.isFolder && IsRuleFile(entry.name);
    if (!entry.isFolder && !ruleFile) return true;
    std::u16string path = *c->prefix;
    if (!path.empty()) path.push_back(kPathSeparator);
    path += entry.name;
    if (entry.isFolder) {
        if (++listing->foldersSeen > listing->maxFolders) {
            listing->tooManyFolders = true;
            return false;
        }
        if (entry.nameIsText) {
            listing->folders.push_back(path);
            return true;
        }
    } else if (++listing->ruleFiles > listing->maxFiles) {
        listing->tooManyFiles = true;
        return false;
    }
    if (entry.nameIsText) {
        listing->entries.push_back(Entry{path, EntryKind::kRuleFile, 0});
    } else {
        ReplaceUnpaired(&path);
        listing->entries.push_back(Entry{path, entry.isFolder ? EntryKind::kBadFolderName : EntryKind::kBadFileName, 0});
    }
    return true;
}

bool FoldedLess(const std::u16string& a, const std::u16string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = sigma::FoldChar(a[i]), y = sigma::FoldChar(b[i]);
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b; // names differing only in case: a stable order all the same
}

std::u16string Join(const std::u16string& folder, const std::u16string& relative) {
    std::u16string path = folder;
    if (!path.empty() && path.back() != u'\\' && path.back() != u'/') path.push_back(kPathSeparator);
    return path + relative;
}

void SetError(SigmaRuleSet* set, const char* text) {
    std::u16string error;
    sigma::Utf8ToUtf16(text, &error);
    set->folderError = error;
}

void ReadRuleFile(SigmaRuleSet* set, const std::u16string& path, const std::u16string& relative,
                  std::vector<char>* buffer) {
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path.c_str(), &error);
    if (file == nullptr) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "cannot be opened (error %u)", error);
        sigma::RefuseFile(set, relative.c_str(), kSigmaRefusedUnreadable, detail);
        return;
    }
    int64_t size = 0;
    if (!FileSize(file, &size) || size < 0) {
        CloseFile(file);
        sigma::RefuseFile(set, relative.c_str(), kSigmaRefusedUnreadable, "its size cannot be read");
        return;
    }
    if (static_cast<uint64_t>(size) > sigma::kMaxFileBytes) {
        CloseFile(file);
        AddSigmaRuleText(set, nullptr, static_cast<size_t>(size), relative.c_str());
        return;
    }
    // One byte more than the size said, to see a file that grew since.
    buffer->resize(static_cast<size_t>(size) + 1);
    uint32_t got = 0;
    const bool ok = ReadFileBytes(file, buffer->data(), static_cast<uint32_t>(buffer->size()), &got);
    CloseFile(file);
    if (!ok) {
        sigma::RefuseFile(set, relative.c_str(), kSigmaRefusedUnreadable, "cannot be read");
        return;
    }
    AddSigmaRuleText(set, buffer->data(), got, relative.c_str());
}

void RefuseEntry(SigmaRuleSet* set, const Entry& entry) {
    char detail[128];
    switch (entry.kind) {
    case EntryKind::kRuleFile:
        return;
    case EntryKind::kBadFileName:
        sigma::RefuseFile(set, entry.path.c_str(), kSigmaRefusedEncoding, "the file's name is not valid text");
        return;
    case EntryKind::kBadFolderName:
        sigma::RefuseFile(set, entry.path.c_str(), kSigmaRefusedEncoding,
                          "the folder's name is not valid text; its files were not read");
        return;
    case EntryKind::kTooDeep:
        std::snprintf(detail, sizeof detail,
                      "a folder nested deeper than the %u levels read; its files were not read",
                      static_cast<unsigned>(sigma::kMaxFolderDepth));
        sigma::RefuseFile(set, entry.path.c_str(), kSigmaRefusedLimits, detail);
        return;
    case EntryKind::kUnlistable:
        std::snprintf(detail, sizeof detail, "the folder cannot be listed (error %u); its files were not read",
                      static_cast<unsigned>(entry.error));
        sigma::RefuseFile(set, entry.path.c_str(), kSigmaRefusedUnreadable, detail);
        return;
    }
}

} // namespace

namespace sigma {

SigmaRuleSet* LoadFolder(const char16_t* folder, uint32_t maxFiles, uint32_t maxFolders,
                         SigmaLoadProgress* progress) {
    SigmaRuleSet* set = NewSigmaRuleSet();
    if (set == nullptr) return nullptr;
    try {
        set->folder = folder == nullptr ? u"" : folder;
        bool isFolder = false;
        if (set->folder.empty() || !ReadFileAttributes(set->folder.c_str(), &isFolder) || !isFolder) {
            SetError(set, "The folder cannot be found.");
            return set;
        }
        // Breadth by level, each folder's entries as listed; sorted as a whole afterwards. What
        // cannot be read (a folder nested too deeply, one that cannot be listed, a name that is
        // not text) is refused on its own; the rules beside it load.
        Listing listing;
        listing.maxFiles = maxFiles;
        listing.maxFolders = maxFolders;
        std::vector<std::u16string> level{std::u16string()};
        for (uint32_t depth = 0; !level.empty(); ++depth) {
            std::vector<std::u16string> nextLevel;
            for (const std::u16string& relative : level) {
                if (depth >= sigma::kMaxFolderDepth) {
                    listing.entries.push_back(Entry{relative, EntryKind::kTooDeep, 0});
                    continue;
                }
                listing.folders.clear();
                VisitContext context{&listing, &relative};
                uint32_t error = 0;
                const std::u16string path = relative.empty() ? set->folder : Join(set->folder, relative);
                if (!ListFolder(path.c_str(), &VisitEntry, &context, &error)) {
                    if (relative.empty()) {
                        char text[96];
                        std::snprintf(text, sizeof text, "The folder cannot be listed (error %u).", error);
                        SetError(set, text);
                        return set;
                    }
                    listing.entries.push_back(Entry{relative, EntryKind::kUnlistable, error});
                    continue;
                }
                if (listing.tooManyFiles || listing.tooManyFolders) break;
                nextLevel.insert(nextLevel.end(), listing.folders.begin(), listing.folders.end());
            }
            if (listing.tooManyFiles || listing.tooManyFolders) break;
            level.swap(nextLevel);
        }
        // Past the bound nothing is read: a part of the rules would be a set nobody chose.
        if (listing.tooManyFiles || listing.tooManyFolders) {
            char text[160];
            std::snprintf(text, sizeof text, "It holds more than %u %s; no rule was read.",
                          static_cast<unsigned>(listing.tooManyFiles ? maxFiles : maxFolders),
                          listing.tooManyFiles ? "rule files" : "folders");
            SetError(set, text);
            return set;
        }
        std::sort(listing.entries.begin(), listing.entries.end(),
                  [](const Entry& a, const Entry& b) { return FoldedLess(a.path, b.path); });
        std::vector<char> buffer;
        if (progress != nullptr) AtomicStore(progress->total, static_cast<uint32_t>(listing.entries.size()));
        uint32_t done = 0;
        for (const Entry& entry : listing.entries) {
            if (progress != nullptr) {
                if (AtomicLoad(progress->cancel) != 0) {
                    SetError(set, "The load was cancelled.");
                    return set;
                }
                AtomicStore(progress->done, done++);
            }
            if (entry.kind == EntryKind::kRuleFile) ReadRuleFile(set, Join(set->folder, entry.path), entry.path, &buffer);
            else RefuseEntry(set, entry);
        }
        if (progress != nullptr) AtomicStore(progress->done, done);
        sigma::BuildIndex(set);
    } catch (...) {
        SetError(set, "There was not enough memory to read the folder.");
    }
    return set;
}

} // namespace sigma

SigmaRuleSet* LoadSigmaRuleFolder(const char16_t* folder) {
    return sigma::LoadFolder(folder, sigma::kMaxFilesInFolder, sigma::kMaxFoldersInFolder, nullptr);
}

SigmaRuleSet* LoadSigmaRuleFolderWatched(const char16_t* folder, SigmaLoadProgress* progress) {
    return sigma::LoadFolder(folder, sigma::kMaxFilesInFolder, sigma::kMaxFoldersInFolder, progress);
}

} // namespace olv
