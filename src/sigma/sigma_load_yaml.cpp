// The YAML reader of rule files (see sigma_load_yaml.h). The one place yaml-cpp is called.
#include "sigma/sigma_load_yaml.h"

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
    bool limits;
    int line;
    std::string message;
};

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
            throw Stop{false, mark.line + 1, "an alias to an unknown anchor"};
        Add(anchors_[anchor - 1]);
    }
    void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  const std::string& value) override {
        // A plain scalar spelling null is null; a quoted one is text.
        const bool null = tag == "?" && (value == "~" || value == "null" || value == "Null" || value == "NULL");
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
        if (++events_ > kMaxEvents) throw Stop{true, mark.line + 1, "more YAML events than a rule file has"};
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
        if (anchor > kMaxEvents) throw Stop{true, node->line, "too many anchors"};
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
        if (open_.size() >= kMaxNesting) throw Stop{true, mark.line + 1, "nested too deeply"};
        // The anchor is known once the collection is complete: an alias inside it to itself
        // would make a loop, and is refused as an unknown anchor.
        Add(node);
        open_.push_back(node);
        pendingAnchors_.push_back(anchor);
    }
    void Close() {
        if (open_.empty()) return;
        Remember(open_.back(), pendingAnchors_.back());
        open_.pop_back();
        pendingAnchors_.pop_back();
    }
    std::vector<YAML::anchor_t> pendingAnchors_;
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
        error->limits = stop.limits;
        error->line = stop.line;
        error->message = stop.message;
    } catch (const YAML::DeepRecursion& e) {
        error->limits = true;
        error->line = e.mark.is_null() ? 0 : e.mark.line + 1;
        error->message = "nested too deeply";
    } catch (const YAML::Exception& e) {
        error->line = e.mark.is_null() ? 0 : e.mark.line + 1;
        error->message = e.msg;
    } catch (const std::bad_alloc&) {
        error->limits = true;
        error->message = "out of memory";
    } catch (...) {
        error->message = "unreadable YAML";
    }
    documents->clear();
    return false;
}

} // namespace olv::sigma
