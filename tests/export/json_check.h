// A strict reading of the JSON export with nlohmann/json's SAX parser: the grammar, valid UTF-8,
// nothing after the value; on top of that no key twice in one object and whole numbers only, as
// the export writes them. It keeps the decoded strings (keys and values, in document order).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace olv {

struct StrictJson {
    std::vector<std::string> strings;
    std::vector<std::vector<std::string>> keys; // of each open object
    std::string error;

    bool Fail(std::string why) {
        if (error.empty()) error = std::move(why);
        return false;
    }
    bool Add(const std::string& text) {
        strings.push_back(text);
        return true;
    }
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(int64_t) { return true; }
    bool number_unsigned(uint64_t) { return true; }
    bool number_float(double, const std::string& text) { return Fail("not whole: " + text); }
    bool string(std::string& text) { return Add(text); }
    bool binary(nlohmann::json::binary_t&) { return Fail("binary"); }
    bool start_object(size_t) {
        keys.emplace_back();
        return true;
    }
    bool key(std::string& name) {
        std::vector<std::string>& seen = keys.back();
        if (std::find(seen.begin(), seen.end(), name) != seen.end())
            return Fail("key twice: " + name);
        seen.push_back(name);
        return Add(name);
    }
    bool end_object() {
        keys.pop_back();
        return true;
    }
    bool start_array(size_t) { return true; }
    bool end_array() { return true; }
    bool parse_error(size_t, const std::string&, const nlohmann::detail::exception& e) {
        return Fail(e.what());
    }

    // Nothing throws: a malformed document comes back through parse_error.
    bool Parse(const std::string& doc) {
        return nlohmann::json::sax_parse(doc.begin(), doc.end(), this) && error.empty();
    }
};

} // namespace olv
