// Helpers of the Sigma suite: views built from field texts, rule files read from the corpus.
#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sigma/sigma.h"

namespace sigma_test {

inline std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    size_t i = 0;
    while (i < utf8.size()) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = c;
        size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (extra > 0) cp = c & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

inline std::string Utf8(const char16_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        const uint32_t c = *text;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// A view that owns its texts. Fields not set are absent.
struct View {
    std::u16string texts[olv::kSigmaFieldCount];
    bool present[olv::kSigmaFieldCount] = {};
    olv::SigmaEventView view{};

    void Set(uint32_t field, const std::u16string& text) {
        texts[field] = text;
        present[field] = true;
    }
    const olv::SigmaEventView* Build(uint32_t categories) {
        view.categories = categories;
        for (uint32_t f = 0; f < olv::kSigmaFieldCount; ++f) {
            view.fields[f].text = present[f] ? texts[f].c_str() : nullptr;
            view.fields[f].length = present[f] ? static_cast<uint32_t>(texts[f].size()) : 0;
        }
        return &view;
    }
};

inline uint32_t FieldNamed(const std::string& name) {
    for (uint32_t f = 0; f < olv::kSigmaFieldCount; ++f) {
        if (name == olv::SigmaFieldName(f)) return f;
    }
    return olv::kSigmaFieldCount;
}

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::filesystem::path CorpusDir() {
    return std::filesystem::path(OLV_SOURCE_DIR) / "tests" / "sigma" / "rules";
}

// Every .yml file under dir, sorted.
inline std::vector<std::filesystem::path> RuleFiles(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().extension() == ".yml") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// One rule from text; nullptr-safe counts through the set.
struct OneRule {
    olv::SigmaRuleSet* set = olv::NewSigmaRuleSet();
    bool loaded = false;
    explicit OneRule(const std::string& text, const char16_t* name = u"inline.yml") {
        loaded = olv::AddSigmaRuleText(set, text.data(), text.size(), name);
    }
    ~OneRule() { olv::FreeSigmaRuleSet(set); }
    OneRule(const OneRule&) = delete;
    OneRule& operator=(const OneRule&) = delete;
    const olv::SigmaRefusal* Refusal() const { return olv::GetSigmaRefusal(set, 0); }
    bool Matches(View& v, uint32_t categories) {
        int32_t hits[4];
        return olv::MatchSigmaRules(set, v.Build(categories), hits, 4) == 1;
    }
};

} // namespace sigma_test
