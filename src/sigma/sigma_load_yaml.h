// The YAML reader of rule files: yaml-cpp's parser, driven event by event into a small tree of
// our own, so that its work is bounded (a count of events; some damaged inputs make the parser
// produce events without end) and aliases stay shared instead of copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace olv::sigma {

struct YamlNode {
    enum Kind : uint8_t { kNull, kScalar, kSequence, kMap };
    Kind kind = kNull;
    int line = 0;      // 1-based; 0 when unknown
    std::string value; // scalar text
    // Sequence: the items. Map: keys and values, alternating.
    std::vector<const YamlNode*> items;

    bool IsNull() const { return kind == kNull; }
    bool IsScalar() const { return kind == kScalar; }
    bool IsSequence() const { return kind == kSequence; }
    bool IsMap() const { return kind == kMap; }
    size_t size() const { return kind == kMap ? items.size() / 2 : items.size(); }
};

struct YamlDocument {
    std::vector<std::unique_ptr<YamlNode>> nodes; // owns every node
    const YamlNode* root = nullptr;
};

// What went wrong when reading fails.
struct YamlError {
    enum Kind : uint8_t {
        kSyntax,      // malformed, or a key given twice in one mapping
        kLimits,      // beyond the reader's bounds
        kUnsupported, // well-formed YAML this reader does not apply (merge keys)
    };
    Kind kind = kSyntax;
    int line = 0; // 1-based, 0 when unknown
    std::string message;
};

// Reads every document of text (at most maxDocuments + 1 are kept, so a caller can tell there
// were more). Catches everything the parser throws. False on a syntax error, a key given twice in
// one mapping, a merge key (`<<`) or a bound that was hit, with *error said.
bool ReadYaml(const std::string& text, std::vector<YamlDocument>* documents, size_t maxDocuments,
              YamlError* error);

} // namespace olv::sigma
