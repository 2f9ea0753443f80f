#include "inspect/plist_convert.h"

#include <cstdio>

#include "formats/base64.h"
#include "inspect/json.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace bw::inspect {

namespace {

void Indent(std::string& out, int depth) {
    out.push_back('\n');
    out.append(static_cast<size_t>(depth) * 2, ' ');
}

void AppendTagged(std::string& out, std::string_view tag, const std::string& text) {
    out += "{\"";
    out += tag;
    out += "\": ";
    AppendJsonString(out, text);
    out += "}";
}

void AppendCalendar(std::string& out, const PlistCalendar& date) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", date.year + 1900,
                  date.month + 1, date.day, date.hour, date.minute, date.second);
    AppendTagged(out, "$date", text);
}

// Stops adding once `out` holds more than `limit` bytes: shared objects of a small binary list
// can stand for gigabytes of text.
void AppendLibraryValue(std::string& out, const CDicValueObj& value, int depth, size_t limit) {
    if (out.size() > limit) return;
    if (const PlistDictionary* dict = value.Dictionary()) {
        if (dict->empty()) {
            out += "{}";
            return;
        }
        out += "{";
        for (size_t i = 0; i < dict->size(); ++i) {
            Indent(out, depth + 1);
            AppendJsonString(out, (*dict)[i].first);
            out += ": ";
            AppendLibraryValue(out, (*dict)[i].second, depth + 1, limit);
            if (i + 1 < dict->size()) out += ",";
        }
        Indent(out, depth);
        out += "}";
    } else if (const PlistArray* array = value.Array()) {
        if (array->empty()) {
            out += "[]";
            return;
        }
        out += "[";
        for (size_t i = 0; i < array->size(); ++i) {
            Indent(out, depth + 1);
            AppendLibraryValue(out, (*array)[i], depth + 1, limit);
            if (i + 1 < array->size()) out += ",";
        }
        Indent(out, depth);
        out += "]";
    } else if (const std::string* text = value.String()) {
        AppendJsonString(out, *text);
    } else if (const int64_t* number = value.Integer()) {
        out += value.IsUnsignedInteger() ? std::to_string(static_cast<uint64_t>(*number))
                                         : std::to_string(*number);
    } else if (const double* real = value.Real()) {
        AppendJsonReal(out, *real);
    } else if (value.IsBool()) {
        out += value.type == kPlistTrue ? "true" : "false";
    } else if (const std::string* data = value.Data()) {
        AppendTagged(out, "$data", Base64Encode(*data));
    } else if (const PlistCalendar* date = value.Date()) {
        AppendCalendar(out, *date);
    } else {
        out += "null";
    }
}

// Stops adding once `out` holds more than `limit` bytes: shared objects of a small binary list
// can stand for gigabytes of text.
void AppendOwnValue(std::string& out, const PlistValue& value, int depth, size_t limit) {
    if (out.size() > limit) return;
    if (const PlistValue::Dictionary* dict = value.AsDictionary()) {
        if (dict->empty()) {
            out += "{}";
            return;
        }
        out += "{";
        size_t left = dict->size();
        for (const auto& [key, item] : *dict) {
            Indent(out, depth + 1);
            AppendJsonString(out, key);
            out += ": ";
            AppendOwnValue(out, item, depth + 1, limit);
            if (--left > 0) out += ",";
        }
        Indent(out, depth);
        out += "}";
    } else if (const PlistValue::Array* array = value.AsArray()) {
        if (array->empty()) {
            out += "[]";
            return;
        }
        out += "[";
        for (size_t i = 0; i < array->size(); ++i) {
            Indent(out, depth + 1);
            AppendOwnValue(out, (*array)[i], depth + 1, limit);
            if (i + 1 < array->size()) out += ",";
        }
        Indent(out, depth);
        out += "]";
    } else if (const std::string* text = value.AsString()) {
        AppendJsonString(out, *text);
    } else if (auto number = value.AsInteger()) {
        out += std::to_string(*number);
    } else if (auto real = value.AsReal()) {
        AppendJsonReal(out, *real);
    } else if (auto flag = value.AsBoolean()) {
        out += *flag ? "true" : "false";
    } else if (const PlistValue::Data* data = value.AsData()) {
        AppendTagged(out, "$data", Base64Encode(*data));
    } else if (auto date = value.AsDate()) {
        AppendTagged(out, "$date", IsoUtcText(date->unixSeconds));
    } else {
        out += "null";
    }
}

PlistCalendar CalendarOf(int64_t unixSeconds) {
    const std::tm tm = platform::UtcCalendar(unixSeconds);
    PlistCalendar date;
    date.second = tm.tm_sec;
    date.minute = tm.tm_min;
    date.hour = tm.tm_hour;
    date.day = tm.tm_mday;
    date.month = tm.tm_mon;
    date.year = tm.tm_year;
    date.weekday = tm.tm_wday;
    date.yearDay = tm.tm_yday;
    return date;
}

}  // namespace

std::string PlistToJson(const CDicValueObj& tree, size_t limit) {
    std::string out;
    AppendLibraryValue(out, tree, 0, limit);
    if (out.size() > limit) return {};
    out.push_back('\n');
    return out;
}

std::string PlistToJson(const PlistValue& tree, size_t limit) {
    std::string out;
    AppendOwnValue(out, tree, 0, limit);
    if (out.size() > limit) return {};
    out.push_back('\n');
    return out;
}

CDicValueObj ToLibraryTree(const PlistValue& tree) {
    if (const PlistValue::Dictionary* dict = tree.AsDictionary()) {
        CDicValueObj out = CDicValueObj::MakeDictionary();
        // The codec's keys are unique already, so they are appended without the search that
        // Set makes for each one (a dictionary of 80 thousand keys would take seconds).
        PlistDictionary& entries = *out.Dictionary();
        entries.reserve(dict->size());
        for (const auto& [key, item] : *dict)
            entries.emplace_back(key, ToLibraryTree(item));
        return out;
    }
    if (const PlistValue::Array* array = tree.AsArray()) {
        CDicValueObj out = CDicValueObj::MakeArray();
        for (const PlistValue& item : *array)
            out.Array()->push_back(ToLibraryTree(item));
        return out;
    }
    if (const std::string* text = tree.AsString()) return CDicValueObj::MakeString(*text);
    if (auto number = tree.AsInteger()) return CDicValueObj::MakeInteger(*number);
    if (auto real = tree.AsReal()) return CDicValueObj::MakeReal(*real);
    if (auto flag = tree.AsBoolean()) return CDicValueObj::MakeBool(*flag);
    if (const PlistValue::Data* data = tree.AsData()) {
        return CDicValueObj::MakeData(std::string(data->begin(), data->end()));
    }
    if (auto date = tree.AsDate()) return CDicValueObj::MakeDate(CalendarOf(date->unixSeconds));
    return CDicValueObj{};
}

bool ConvertPlistFile(const std::string& path, PlistOutput output, PlistReader reader,
                      std::string& converted, std::string& error) {
    converted.clear();
    // Read no further than the chosen reader would take.
    const uint64_t limit =
        reader == PlistReader::kOwn ? kPlistCodecMaxInputBytes : kPlistMaxInputBytes;
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes, limit)) {
        if (platform::IsFolder(path)) {
            error = "is a folder, not a property list";
        } else if (platform::IsFile(path) && platform::FileSize(path).value_or(0) > limit) {
            error = "is larger than " + std::to_string(limit >> 20) + " MB, too large to read";
        } else {
            error = "cannot read the file";
        }
        return false;
    }
    return ConvertPlistBytes(bytes, output, reader, converted, error);
}

bool ConvertPlistBytes(std::string_view bytes, PlistOutput output, PlistReader reader,
                       std::string& converted, std::string& error) {
    converted.clear();
    const size_t limit =
        reader == PlistReader::kOwn ? kPlistCodecMaxInputBytes : kPlistMaxInputBytes;
    if (bytes.size() > limit) {
        error = "is larger than " + std::to_string(limit >> 20) + " MB, too large to read";
        return false;
    }
    if (reader == PlistReader::kOwn) {
        PlistValue tree;
        if (!ReadPlistFromMemory(bytes.data(), bytes.size(), tree)) {
            error = "not a valid property list";
            return false;
        }
        if (output == PlistOutput::kJson) {
            converted = PlistToJson(tree);
        } else if (output == PlistOutput::kBinary) {
            converted = EncodePlistBinary(tree).value_or("");
        } else {
            writeXmlutf8(ToLibraryTree(tree), converted);
        }
    } else {
        CDicValueObj tree;
        readPlistFromByteArry(bytes.data(), static_cast<int>(bytes.size()), tree, 0);
        if (tree.type == kPlistNone) {
            error = "not a valid property list";
            return false;
        }
        if (output == PlistOutput::kJson) {
            converted = PlistToJson(tree);
        } else if (output == PlistOutput::kBinary) {
            writeBinary(tree, converted);
        } else {
            writeXmlutf8(tree, converted);
        }
        FreePListDictionary(tree);
    }
    if (converted.empty()) {
        error = output == PlistOutput::kJson ? "would give more than 512 MB of JSON"
                                             : "cannot be written in the requested form";
        return false;
    }
    return true;
}

}  // namespace bw::inspect
