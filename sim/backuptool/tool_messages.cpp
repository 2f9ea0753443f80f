#include "tool_messages.h"

#include <plist/plist.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <memory>

#include "platform/environment.h"
#include "platform/process.h"

namespace bw::sim::backuptool {
namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistTree = std::unique_ptr<void, PlistFree>;

plist_t ToLibplist(const PlistValue& value) {
    switch (value.Kind()) {
        case PlistKind::kDictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : *value.AsDictionary()) {
                if (plist_t node = ToLibplist(item)) plist_dict_set_item(dict, key.c_str(), node);
            }
            return dict;
        }
        case PlistKind::kArray: {
            plist_t array = plist_new_array();
            for (const PlistValue& item : *value.AsArray()) {
                if (plist_t node = ToLibplist(item)) plist_array_append_item(array, node);
            }
            return array;
        }
        case PlistKind::kString:
            return plist_new_string(value.AsString()->c_str());
        case PlistKind::kInteger:
            return plist_new_uint(static_cast<uint64_t>(*value.AsInteger()));
        case PlistKind::kReal:
            return plist_new_real(*value.AsReal());
        case PlistKind::kBoolean:
            return plist_new_bool(*value.AsBoolean() ? 1 : 0);
        case PlistKind::kDate: {
            // libplist 2.2 keeps dates as seconds and microseconds since 2001.
            const int64_t since2001 = value.AsDate()->unixSeconds - PlistDate::kUnixSecondsAt2001;
            return plist_new_date(static_cast<int32_t>(since2001), 0);
        }
        case PlistKind::kData: {
            const PlistValue::Data& data = *value.AsData();
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        case PlistKind::kNone:
            break;
    }
    return nullptr;
}

int ParseInt(std::string_view text, int fallback) {
    int value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() ? value : fallback;
}

}  // namespace

std::optional<Injection> Injection::Parse(std::string_view text) {
    Injection injection;
    if (text.empty()) return injection;
    if (const size_t at = text.find('@'); at != std::string_view::npos) {
        injection.atPercent = ParseInt(text.substr(at + 1), -1);
        if (injection.atPercent < 0 || injection.atPercent > 100) return std::nullopt;
        text = text.substr(0, at);
    }
    std::string_view value;
    if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
        value = text.substr(colon + 1);
        text = text.substr(0, colon);
    }
    if (text == "error") {
        injection.kind = Kind::kError;
        if (!value.empty()) {
            injection.code = ParseInt(value, 0);
            if (injection.code == 0) return std::nullopt;
        }
    } else if (text == "exit") {
        injection.kind = Kind::kExit;
    } else if (text == "unparsable") {
        injection.kind = Kind::kUnparsable;
    } else if (text == "no-final") {
        injection.kind = Kind::kNoFinal;
    } else if (text == "real-percent") {
        injection.kind = Kind::kRealPercent;
    } else if (text == "no-connect") {
        injection.kind = Kind::kNoConnect;
    } else {
        return std::nullopt;
    }
    return injection;
}

Injection Injection::FromEnvironment() {
    const std::string text = platform::GetEnv("BRACKWATER_BACKUPTOOL_FAIL").value_or("");
    if (auto injection = Parse(text)) return *injection;
    std::fprintf(stderr, "backup tool: BRACKWATER_BACKUPTOOL_FAIL=%s is not understood\n",
                 text.c_str());
    return {};
}

std::string XmlPlistText(const PlistValue& value) {
    PlistTree tree(ToLibplist(value));
    if (tree == nullptr) return {};
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(tree.get(), &xml, &length);
    std::string text = xml != nullptr ? std::string(xml, length) : std::string();
    if (xml != nullptr) plist_to_xml_free(xml);
    return text;
}

bool Reporter::Send(const PlistValue& message) {
    return pipe_.Write(XmlPlistText(message));
}

// Carries out an injected failure that is due; false when the work must stop.
bool Reporter::Strike() {
    struck_ = true;
    switch (injection_.kind) {
        case Injection::Kind::kError:
            Fail(injection_.code, "injected failure");
            return false;
        case Injection::Kind::kExit:
            pipe_.Close();
            ::_exit(3);
        case Injection::Kind::kUnparsable:
            pipe_.Write("this is <no> property list");
            pipe_.Close();
            ::_exit(3);
        default:
            return true;
    }
}

bool Reporter::Progress(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (!struck_ && injection_.kind != Injection::Kind::kNone && percent >= injection_.atPercent &&
        !Strike())
        return false;
    if (percent <= lastPercent_) return true;
    lastPercent_ = percent;
    PlistValue message{PlistValue::Dictionary{}};
    PlistValue::Dictionary& dict = *message.AsDictionary();
    if (injection_.kind == Injection::Kind::kRealPercent) {
        dict["AMSBackupPercentageKey"] = static_cast<double>(percent) + 0.5;
    } else {
        dict["AMSBackupPercentageKey"] = percent;
    }
    if (delayMs_ > 0) platform::Sleep(static_cast<unsigned>(delayMs_));
    return Send(message);
}

bool Reporter::Finish(std::string_view requestName) {
    if (!Progress(100)) return false;
    if (injection_.kind == Injection::Kind::kNoFinal) return true;
    PlistValue message{PlistValue::Dictionary{}};
    (*message.AsDictionary())["AMSRequestKey"] = requestName;
    (*message.AsDictionary())["AMSResultKey"] = "AMSResultSuccess";
    return Send(message);
}

void Reporter::Fail(int code, std::string_view description) {
    std::fprintf(stderr, "backup tool: error %d: %.*s\n", code,
                 static_cast<int>(description.size()), description.data());
    PlistValue message{PlistValue::Dictionary{}};
    (*message.AsDictionary())["errorCode"] = code;
    (*message.AsDictionary())["ErrorDescription"] = description;
    Send(message);
}

}  // namespace bw::sim::backuptool
