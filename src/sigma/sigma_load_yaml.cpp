// The YAML reader of rule files (see sigma_load_yaml.h). The one place yaml-cpp is called.
#include "sigma/sigma_load_yaml.h"

#include <algorithm>
#include <exception>
#include <new>
#include <sstream>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/parser.h>

namespace olv::sigma {

namespace {

// Events of one file beyond which reading stops: far above what a 1 MiB rule file produces
// (about one event per two bytes), far below what would take long.
constexpr uint64_t kMaxEvents = 2u << 20;
// Nesting of collections (yaml-cpp's own guard stops its parser deeper still).
constexpr size_t kMaxNesting = 256;

struct Stop {
    YamlError::Kind kind;
    int line;
    std::string message;
};

// A key as a message names it: cut to a few dozen bytes, never inside a character.
std::string KeyForMessage(const std::string& key) {
    constexpr size_t kMaxBytes = 60;
    if (key.size() <= kMaxBytes) return key;
    size_t cut = kMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(key[cut]) & 0xC0) == 0x80) --cut;
    return key.substr(0, cut) + "...";
}

class TreeBuilder : public YAML::EventHandler {
public:
    explicit TreeBuilder(YamlDocument* document) : document_(document) {}

    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        Place(New(YamlNode::kNull, mark), anchor);
    }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        Count(mark);
        if (anchor == 0 || anchor > anchors_.size() || anchors_[anchor - 1] == nullptr)
            throw Stop{YamlError::kSyntax, mark.line + 1, "an alias to an unknown anchor"};
        Add(anchors_[anchor - 1]);
    }
    void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  const std::string& value) override {
        // A plain scalar spelling null is null; a quoted one is text.
        const bool null = tag == "?" && (value == "~" || value == "null" || value == "Null" || value == "NULL");
        // A merge key would copy another mapping's keys into this one; rules are read as
        // written, so it is refused rather than taken for a field named "<<".
        if (tag == "?" && value == "<<" && AtKey())
            throw Stop{YamlError::kUnsupported, mark.line + 1, "a merge key (<<) is not read"};
        YamlNode* node = New(null ? YamlNode::kNull : YamlNode::kScalar, mark);
        if (!null) node->value = value;
        Place(node, anchor);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        Open(New(YamlNode::kSequence, mark), anchor, mark);
    }
    void OnSequenceEnd() override { Close(); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
        Open(New(YamlNode::kMap, mark), anchor, mark);
    }
    void OnMapEnd() override { Close(); }

private:
    YamlDocument* document_;
    std::vector<YamlNode*> open_;
    std::vector<const YamlNode*> anchors_;
    uint64_t events_ = 0;

    void Count(const YAML::Mark& mark) {
        if (++events_ > kMaxEvents) throw Stop{YamlError::kLimits, mark.line + 1, "more YAML events than a rule file has"};
    }
    YamlNode* New(YamlNode::Kind kind, const YAML::Mark& mark) {
        Count(mark);
        document_->nodes.push_back(std::make_unique<YamlNode>());
        YamlNode* node = document_->nodes.back().get();
        node->kind = kind;
        node->line = mark.is_null() ? 0 : mark.line + 1;
        return node;
    }
    void Remember(const YamlNode* node, YAML::anchor_t anchor) {
        if (anchor == 0) return;
        if (anchor > kMaxEvents) throw Stop{YamlError::kLimits, node->line, "too many anchors"};
        if (anchors_.size() < anchor) anchors_.resize(anchor, nullptr);
        anchors_[anchor - 1] = node;
    }
    void Add(const YamlNode* node) {
        if (open_.empty()) {
            if (document_->root == nullptr) document_->root = node;
            return;
        }
        open_.back()->items.push_back(node);
    }
    void Place(YamlNode* node, YAML::anchor_t anchor) {
        Remember(node, anchor);
        Add(node);
    }
    void Open(YamlNode* node, YAML::anchor_t anchor, const YAML::Mark& mark) {
        if (open_.size() >= kMaxNesting) throw Stop{YamlError::kLimits, mark.line + 1, "nested too deeply"};
        // The anchor is known once the collection is complete: an alias inside it to itself
        // would make a loop, and is refused as an unknown anchor.
        Add(node);
        open_.push_back(node);
        pendingAnchors_.push_back(anchor);
    }
    // The next node completes a key (not a value) of the mapping being read.
    bool AtKey() const {
        return !open_.empty() && open_.back()->kind == YamlNode::kMap && open_.back()->items.size() % 2 == 0;
    }
    // A key given twice in one mapping: YAML forbids it, and readers disagree on which one
    // counts, so the file is refused rather than read one way.
    void CheckKeys(const YamlNode& map) {
        if (map.items.size() < 4) return;
        keys_.clear();
        for (size_t i = 0; i < map.items.size(); i += 2) {
            if (map.items[i]->kind == YamlNode::kScalar) keys_.push_back(map.items[i]);
        }
        std::stable_sort(keys_.begin(), keys_.end(),
                         [](const YamlNode* a, const YamlNode* b) { return a->value < b->value; });
        const YamlNode* repeated = nullptr;
        const YamlNode* first = nullptr;
        for (size_t i = 1; i < keys_.size(); ++i) {
            if (keys_[i]->value != keys_[i - 1]->value) continue;
            // Among the repeats, report the one met first in the text.
            if (repeated == nullptr || keys_[i]->line < repeated->line) {
                repeated = keys_[i];
                first = keys_[i - 1];
                while (i + 1 < keys_.size() && keys_[i + 1]->value == repeated->value) ++i;
            }
        }
        if (repeated == nullptr) return;
        std::string message = "the key " + KeyForMessage(repeated->value) + " is given twice in one mapping";
        if (first->line > 0) message += " (first on line " + std::to_string(first->line) + ")";
        throw Stop{YamlError::kSyntax, repeated->line, message};
    }
    void Close() {
        if (open_.empty()) return;
        if (open_.back()->kind == YamlNode::kMap) CheckKeys(*open_.back());
        Remember(open_.back(), pendingAnchors_.back());
        open_.pop_back();
        pendingAnchors_.pop_back();
    }
    std::vector<YAML::anchor_t> pendingAnchors_;
    std::vector<const YamlNode*> keys_; // scratch of CheckKeys
};

} // namespace

bool ReadYaml(const std::string& text, std::vector<YamlDocument>* documents, size_t maxDocuments,
              YamlError* error) {
    documents->clear();
    try {
        std::istringstream in(text);
        YAML::Parser parser(in);
        for (;;) {
            if (documents->size() > maxDocuments) break;
            documents->emplace_back();
            TreeBuilder builder(&documents->back());
            if (!parser.HandleNextDocument(builder)) {
                documents->pop_back();
                break;
            }
        }
        return true;
    } catch (const Stop& stop) {
        error->kind = stop.kind;
        error->line = stop.line;
        error->message = stop.message;
    } catch (const YAML::DeepRecursion& e) {
        error->kind = YamlError::kLimits;
        error->line = e.mark.is_null() ? 0 : e.mark.line + 1;
        error->message = "nested too deeply";
    } catch (const YAML::Exception& e) {
        error->line = e.mark.is_null() ? 0 : e.mark.line + 1;
        error->message = e.msg;
    } catch (const std::bad_alloc&) {
        error->kind = YamlError::kLimits;
        error->message = "out of memory";
    } catch (...) {
        error->message = "unreadable YAML";
    }
    documents->clear();
    return false;
}

} // namespace olv::sigma
