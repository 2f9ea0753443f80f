#include "formats/keyed_archive.h"

#include <optional>
#include <string>
#include <vector>

namespace bw {
namespace {

// The values of a tree, counted up to just past the decoder's budget.
size_t CountValues(const CDicValueObj& value) {
    size_t count = 1;
    if (const PlistArray* array = value.Array()) {
        for (const CDicValueObj& element : *array) {
            if (count > kKeyedArchiveMaxValues) break;
            count += CountValues(element);
        }
    } else if (const PlistDictionary* dictionary = value.Dictionary()) {
        for (const auto& [key, element] : *dictionary) {
            if (count > kKeyedArchiveMaxValues) break;
            count += CountValues(element);
        }
    }
    return count;
}

// The index a reference names: a dictionary whose single entry is an integer "CF$UID" that is
// not negative.
std::optional<size_t> ReferenceIndex(const CDicValueObj& value) {
    const PlistDictionary* dictionary = value.Dictionary();
    if (dictionary == nullptr || dictionary->size() != 1) return std::nullopt;
    const std::optional<int64_t> index = value.GetInteger("CF$UID");
    if (!index || *index < 0) return std::nullopt;
    return static_cast<size_t>(*index);
}

class Decoder {
  public:
    explicit Decoder(const PlistArray& objects)
        : objects_(objects), state_(objects.size(), State::Fresh), done_(objects.size()) {}

    CDicValueObj Reference(const CDicValueObj& reference, int depth) {
        const std::optional<size_t> index = ReferenceIndex(reference);
        return index ? Object(*index, depth).value : CDicValueObj();
    }

  private:
    enum class State { Fresh, Decoding, Done };
    struct Decoded {
        CDicValueObj value;
        size_t values = 0;  // how many values the decoded tree holds
    };

    Decoded Object(size_t index, int depth) {
        if (index >= objects_.size() || depth > kKeyedArchiveMaxDepth) return {};
        // A reference back to an object on the way down would never end.
        if (state_[index] == State::Decoding) return {};
        const CDicValueObj& object = objects_[index];
        if (state_[index] == State::Fresh && object.Find("$class") == nullptr) {
            // Strings, numbers, "$null" and plain collections are taken over as they are, and
            // count with everything they hold.
            done_[index] = {object, CountValues(object)};
            state_[index] = State::Done;
        }
        if (state_[index] == State::Done) {
            const Decoded& decoded = done_[index];
            if (decoded.value.type == kPlistNone) return {};
            if (used_ + decoded.values > kKeyedArchiveMaxValues) return {};
            used_ += decoded.values;
            return decoded;
        }
        if (used_ >= kKeyedArchiveMaxValues) return {};
        state_[index] = State::Decoding;
        const size_t before = used_++;
        CDicValueObj value = Instance(object, depth);
        state_[index] = State::Done;
        done_[index] = {value, used_ - before};
        if (value.type == kPlistNone) used_ = before;
        return done_[index];
    }

    CDicValueObj Instance(const CDicValueObj& object, int depth) {
        const std::optional<size_t> classIndex = ReferenceIndex(*object.Find("$class"));
        if (!classIndex) return {};
        std::string className;
        if (*classIndex < objects_.size()) {
            className = objects_[*classIndex].GetString("$classname").value_or("");
        }
        if (className == "NSMutableArray") return ArrayOf(object, depth);
        if (className == "NSMutableDictionary" || className == "NSDictionary") {
            return DictionaryOf(object, depth);
        }
        // The member is taken over as it is; counted as one value already, it adds the rest of
        // what it holds (a hostile archive may put a whole collection there).
        const CDicValueObj* member = object.Find(className == "NSDate" ? "NS.time" : "NS.data");
        if (member == nullptr) return {};
        const size_t values = CountValues(*member);
        if (used_ + values - 1 > kKeyedArchiveMaxValues) return {};
        used_ += values - 1;
        return *member;
    }

    static const PlistArray* Members(const CDicValueObj& object, const char* key) {
        const CDicValueObj* members = object.Find(key);
        return members != nullptr ? members->Array() : nullptr;
    }

    CDicValueObj ArrayOf(const CDicValueObj& object, int depth) {
        CDicValueObj array = CDicValueObj::MakeArray();
        const PlistArray* references = Members(object, "NS.objects");
        if (references == nullptr) return array;
        for (const CDicValueObj& reference : *references) {
            CDicValueObj element = Reference(reference, depth + 1);
            if (element.type != kPlistNone) array.Array()->push_back(std::move(element));
        }
        return array;
    }

    // Keys and values pair up by position; a key that is not a string has no place in a
    // property-list dictionary and its pair is left out.
    CDicValueObj DictionaryOf(const CDicValueObj& object, int depth) {
        CDicValueObj dictionary = CDicValueObj::MakeDictionary();
        const PlistArray* keys = Members(object, "NS.keys");
        const PlistArray* values = Members(object, "NS.objects");
        if (keys == nullptr || values == nullptr) return dictionary;
        for (size_t i = 0; i < keys->size() && i < values->size(); ++i) {
            const CDicValueObj key = Reference((*keys)[i], depth + 1);
            if (key.String() == nullptr) continue;
            CDicValueObj value = Reference((*values)[i], depth + 1);
            if (value.type != kPlistNone) dictionary.Set(*key.String(), std::move(value));
        }
        return dictionary;
    }

    const PlistArray& objects_;
    std::vector<State> state_;
    std::vector<Decoded> done_;
    size_t used_ = 0;
};

}  // namespace

CDicValueObj CNSArchiverFormatHelper::Decode(const CDicValueObj& archive) {
    const CDicValueObj* objects = archive.Find("$objects");
    const CDicValueObj* top = archive.Find("$top");
    if (objects == nullptr || objects->Array() == nullptr || top == nullptr) return {};
    const CDicValueObj* root = top->Find("root");
    if (root == nullptr) return {};
    Decoder decoder(*objects->Array());
    return decoder.Reference(*root, 0);
}

}  // namespace bw
