// A small JSON reader for the command-line host's output, so that what it prints is read by other
// code than wrote it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw::testing {

struct Json {
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's value, or a number as written
    std::vector<Json> items;
    // An object's members: keys[i] names values[i]. (Two vectors, not one of pairs: a pair of a
    // type still being defined does not compile everywhere.)
    std::vector<std::string> keys;
    std::vector<Json> values;

    const Json* Find(const std::string& key) const {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) return &values[i];
        }
        return nullptr;
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string text) : text_(std::move(text)) {}

    // The one value the text holds (trailing white space allowed), or nullopt.
    std::optional<Json> ReadDocument() {
        Json value;
        if (!ReadValue(value)) return std::nullopt;
        SkipSpace();
        return at_ == text_.size() ? std::optional<Json>(std::move(value)) : std::nullopt;
    }

  private:
    void SkipSpace() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr)
            ++at_;
    }
    bool Take(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (text_.compare(at_, word.size(), word) != 0) return false;
        at_ += word.size();
        return true;
    }
    bool ReadString(std::string& out) {
        if (!Take('"')) return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (at_ >= text_.size()) return false;
                c = text_[at_++];
                if (c == 'u') {
                    if (at_ + 4 > text_.size()) return false;
                    const unsigned long code =
                        std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16);
                    at_ += 4;
                    if (code >= 0x80) return false;  // the host escapes control characters only
                    c = static_cast<char>(code);
                } else if (c == 'n') {
                    c = '\n';
                } else if (c == 't') {
                    c = '\t';
                } else if (c != '"' && c != '\\' && c != '/') {
                    return false;
                }
            }
            out.push_back(c);
        }
        return Take('"');
    }
    bool ReadValue(Json& value) {
        SkipSpace();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') {
            value.kind = Json::Kind::Object;
            ++at_;
            if (Take('}')) return true;
            do {
                std::string key;
                Json member;
                if (!ReadString(key) || !Take(':') || !ReadValue(member)) return false;
                value.keys.push_back(std::move(key));
                value.values.push_back(std::move(member));
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            value.kind = Json::Kind::Array;
            ++at_;
            if (Take(']')) return true;
            do {
                Json item;
                if (!ReadValue(item)) return false;
                value.items.push_back(std::move(item));
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            value.kind = Json::Kind::String;
            return ReadString(value.text);
        }
        if (Word("true") || Word("false")) {
            value.kind = Json::Kind::Boolean;
            value.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
            return true;
        }
        if (Word("null")) return true;
        const size_t start = at_;
        while (at_ < text_.size() && std::strchr("-+.eE0123456789", text_[at_]) != nullptr)
            ++at_;
        if (at_ == start) return false;
        value.kind = Json::Kind::Number;
        value.text = text_.substr(start, at_ - start);
        return true;
    }

    std::string text_;
    size_t at_ = 0;
};

// Each line of `text` as a JSON document; a line that does not read is nullopt.
inline std::vector<std::optional<Json>> JsonLines(const std::string& text) {
    std::vector<std::optional<Json>> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(JsonReader(text.substr(start, end - start)).ReadDocument());
        start = end + 1;
    }
    return lines;
}

}  // namespace bw::testing
