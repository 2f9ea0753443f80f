#include "tool_messages.h"

#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/environment.h"
#include "platform/process.h"

namespace bw::sim::backuptool {
namespace {

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

bool Reporter::Send(DictBuilder message) {
    const PlistTree tree = message.Take();
    return pipe_.Write(PlistXml(tree.get()));
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
    DictBuilder message;
    if (injection_.kind == Injection::Kind::kRealPercent) {
        message.Real("AMSBackupPercentageKey", static_cast<double>(percent) + 0.5);
    } else {
        message.Integer("AMSBackupPercentageKey", static_cast<uint64_t>(percent));
    }
    if (delayMs_ > 0) platform::Sleep(static_cast<unsigned>(delayMs_));
    return Send(std::move(message));
}

bool Reporter::Finish(std::string_view requestName) {
    if (!Progress(100)) return false;
    if (injection_.kind == Injection::Kind::kNoFinal) return true;
    return Send(std::move(
        DictBuilder().Text("AMSRequestKey", requestName).Text("AMSResultKey", "AMSResultSuccess")));
}

void Reporter::Fail(int code, std::string_view description) {
    std::fprintf(stderr, "backup tool: error %d: %.*s\n", code,
                 static_cast<int>(description.size()), description.data());
    // Codes are positive, so libplist's unsigned integers carry them.
    Send(std::move(DictBuilder()
                       .Integer("errorCode", static_cast<uint64_t>(code))
                       .Text("ErrorDescription", description)));
}

}  // namespace bw::sim::backuptool
