// Reading a folder of rule files: every .yml and .yaml file below it, in an order that does not
// depend on the file system (relative paths sorted, ignoring case), each one loaded or refused.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/files.h"
#include "sigma/sigma_engine.h"
#include "sigma/sigma_match_text.h"

namespace olv {

namespace sigma {
bool RefuseFile(SigmaRuleSet* set, const char16_t* fileName, uint32_t reason, const char* detail);
} // namespace sigma

namespace {

struct Listing {
    std::vector<std::u16string> files;   // relative paths of rule files
    std::vector<std::u16string> folders; // relative paths of sub-folders
    bool tooMany = false;
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

bool VisitEntry(void* context, const char16_t* name, bool isFolder) {
    auto* c = static_cast<VisitContext*>(context);
    std::u16string path = *c->prefix;
    if (!path.empty()) path.push_back(kPathSeparator);
    path += name;
    if (isFolder) {
        c->listing->folders.push_back(path);
    } else if (IsRuleFile(name)) {
        if (c->listing->files.size() >= sigma::kMaxFilesInFolder) {
            c->listing->tooMany = true;
            return false;
        }
        c->listing->files.push_back(path);
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

} // namespace

SigmaRuleSet* LoadSigmaRuleFolder(const char16_t* folder) {
    SigmaRuleSet* set = NewSigmaRuleSet();
    if (set == nullptr) return nullptr;
    try {
        set->folder = folder == nullptr ? u"" : folder;
        bool isFolder = false;
        if (set->folder.empty() || !ReadFileAttributes(set->folder.c_str(), &isFolder) || !isFolder) {
            SetError(set, "the folder cannot be found");
            return set;
        }
        // Breadth by level, each folder's entries as listed; sorted as a whole afterwards.
        Listing listing;
        std::vector<std::u16string> level{std::u16string()};
        for (uint32_t depth = 0; !level.empty() && !listing.tooMany; ++depth) {
            std::vector<std::u16string> nextLevel;
            for (const std::u16string& relative : level) {
                listing.folders.clear();
                VisitContext context{&listing, &relative};
                uint32_t error = 0;
                const std::u16string path = relative.empty() ? set->folder : Join(set->folder, relative);
                if (!ListFolder(path.c_str(), &VisitEntry, &context, &error)) {
                    char text[96];
                    std::snprintf(text, sizeof text, "a folder cannot be listed (error %u)", error);
                    SetError(set, text);
                    if (relative.empty()) return set;
                    continue;
                }
                if (depth + 1 >= sigma::kMaxFolderDepth) {
                    if (!listing.folders.empty()) SetError(set, "folders nested too deeply were not read");
                    continue;
                }
                nextLevel.insert(nextLevel.end(), listing.folders.begin(), listing.folders.end());
                if (listing.tooMany) break;
            }
            level.swap(nextLevel);
        }
        if (listing.tooMany) SetError(set, "more rule files than are read from one folder; the rest were left out");
        std::sort(listing.files.begin(), listing.files.end(), FoldedLess);
        std::vector<char> buffer;
        for (const std::u16string& relative : listing.files)
            ReadRuleFile(set, Join(set->folder, relative), relative, &buffer);
        sigma::BuildIndex(set);
    } catch (...) {
        SetError(set, "out of memory while reading the folder");
    }
    return set;
}

} // namespace olv
