// brackwater-sim: makes device images for the simulator, and serves them on a multiplexer
// socket.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_builder.h"
#include "mobiledevice/sim_control.h"
#include "wire/wire_server.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "brackwater-sim COMMAND ...\n"
    "\n"
    "  create DIR [options]   make a device image in DIR (missing, empty, or an image this tool\n"
    "                         made, which is replaced)\n"
    "    --ios VERSION        5.1.1, 6.1.3 or 7.1.2 (default 7.1.2)\n"
    "    --name NAME          the device name (default: chosen from the seed)\n"
    "    --udid UDID          40 hexadecimal digits (default: derived from the seed)\n"
    "    --seed N             0 to 2^64-1 (default 1); the same options make the same image\n"
    "    --scale N            1 to 1000 (default 1), for large benchmark images\n"
    "    --network            connected over Wi-Fi instead of USB\n"
    "    --unpaired           the computer holds no pair record yet\n"
    "    --refuses-pairing    the user does not trust the computer (implies --unpaired)\n"
    "    --afc2               \"com.apple.afc2\" can be started\n"
    "    --passcode-locked    starting services fails as on a locked phone\n"
    "    --no-sim             no SIM card\n"
    "    --encrypted-backup   backups are encrypted\n"
    "    --find-my-iphone     Find My iPhone is on\n"
    "  wire --socket PATH IMAGE...\n"
    "                         attach the images and serve them on a multiplexer socket at PATH\n"
    "                         (clients: USBMUXD_SOCKET_ADDRESS=UNIX:PATH) until interrupted\n"
    "  version                the image builder's version\n"
    "  --help                 this text\n"
    "\n"
    "Errors are one line on standard error; exit status 1 for a failure, 2 for a usage error.";

int Usage(const std::string& message) {
    std::fprintf(stderr, "brackwater-sim: %s (see brackwater-sim --help)\n", message.c_str());
    return kExitUsage;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "brackwater-sim: %s\n", message.c_str());
    return kExitFailure;
}

std::optional<uint64_t> ParseUnsigned(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0') return std::nullopt;
    return static_cast<uint64_t>(value);
}

struct Flag {
    const char* name;
    void (*apply)(bw::sim::ImageOptions&);
};

constexpr Flag kFlags[] = {
    {"--network", [](bw::sim::ImageOptions& o) { o.interfaceType = "Network"; }},
    {"--unpaired", [](bw::sim::ImageOptions& o) { o.paired = false; }},
    // Pairing is only attempted with an unpaired computer, so refusing it implies that.
    {"--refuses-pairing",
     [](bw::sim::ImageOptions& o) {
         o.refusesPairing = true;
         o.paired = false;
     }},
    {"--afc2", [](bw::sim::ImageOptions& o) { o.hasAfc2 = true; }},
    {"--passcode-locked", [](bw::sim::ImageOptions& o) { o.passcodeLocked = true; }},
    {"--no-sim", [](bw::sim::ImageOptions& o) { o.hasSim = false; }},
    {"--encrypted-backup", [](bw::sim::ImageOptions& o) { o.backupEncrypted = true; }},
    {"--find-my-iphone", [](bw::sim::ImageOptions& o) { o.findMyPhone = true; }},
};

// Applies one option taking a value; false with `message` for a bad value.
bool ApplyValue(const std::string& option, const std::string& value, bw::sim::ImageOptions& options,
                std::string& message) {
    if (option == "--ios") {
        options.iosVersion = value;
    } else if (option == "--name") {
        options.name = value;
    } else if (option == "--udid") {
        options.udid = value;
    } else if (option == "--seed") {
        const std::optional<uint64_t> seed = ParseUnsigned(value);
        if (!seed) {
            message = "the seed must be a whole number from 0 to 18446744073709551615";
            return false;
        }
        options.seed = *seed;
    } else {  // --scale
        const std::optional<uint64_t> scale = ParseUnsigned(value);
        if (!scale || *scale < 1 || *scale > static_cast<uint64_t>(bw::sim::kMaxScale)) {
            message =
                "the scale must be a whole number from 1 to " + std::to_string(bw::sim::kMaxScale);
            return false;
        }
        options.scale = static_cast<int>(*scale);
    }
    return true;
}

bool TakesValue(std::string_view option) {
    return option == "--ios" || option == "--name" || option == "--udid" || option == "--seed" ||
           option == "--scale";
}

int RunCreate(const std::vector<std::string>& words) {
    bw::sim::ImageOptions options;
    std::string folder;
    for (size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (word.size() < 2 || word[0] != '-') {
            if (!folder.empty()) return Usage("more than one folder given");
            folder = word;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const size_t equals = word.find('='); equals != std::string::npos) {
            inlineValue = word.substr(equals + 1);
            word.resize(equals);
        }
        if (TakesValue(word)) {
            if (!inlineValue && i + 1 == words.size()) return Usage(word + " needs a value");
            const std::string value = inlineValue ? *inlineValue : words[++i];
            std::string message;
            if (!ApplyValue(word, value, options, message)) return Usage(message);
            continue;
        }
        const Flag* flag = nullptr;
        for (const Flag& candidate : kFlags) {
            if (word == candidate.name) flag = &candidate;
        }
        if (flag == nullptr) return Usage("unknown option " + word);
        if (inlineValue) return Usage(word + " takes no value");
        flag->apply(options);
    }
    if (folder.empty()) return Usage("create needs a folder");

    std::string error;
    if (!bw::sim::ValidateOptions(options, error)) return Usage(error);
    if (!bw::sim::CreateImage(folder, options, error)) return Failure(error);
    std::printf("made an iOS %s image in %s\n", options.iosVersion.c_str(), folder.c_str());
    return 0;
}

int RunWire(const std::vector<std::string>& words) {
    std::string socketPath;
    std::vector<std::string> images;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--socket") {
            if (i + 1 == words.size()) return Usage("--socket needs a value");
            socketPath = words[++i];
        } else if (word.starts_with("--socket=")) {
            socketPath = word.substr(9);
        } else if (word.size() > 1 && word[0] == '-') {
            return Usage("unknown option " + word);
        } else {
            images.push_back(word);
        }
    }
    if (socketPath.empty()) return Usage("wire needs --socket PATH");
    if (images.empty()) return Usage("wire needs at least one image");

    // The signals are taken by sigwait below, so every thread started from here on blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    for (const std::string& image : images) {
        if (BwSimAttach(image.c_str(), nullptr, 0) != 0) {
            BwSimDetachAll();
            return Failure("cannot attach " + image + ": " + BwSimLastError());
        }
    }
    std::string error;
    std::unique_ptr<bw::sim::wire::WireServer> server =
        bw::sim::wire::WireServer::Start(socketPath, error);
    if (server == nullptr) {
        BwSimDetachAll();
        return Failure(error);
    }
    std::printf("USBMUXD_SOCKET_ADDRESS=UNIX:%s\n", socketPath.c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    server.reset();
    BwSimDetachAll();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) return Usage("no command given");
    const std::string command = words.front();
    words.erase(words.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::printf("%s\n", kUsage);
        return 0;
    }
    if (command == "version") {
        if (!words.empty()) return Usage("version takes no arguments");
        std::printf("%s\n", bw::sim::BuilderVersion().c_str());
        return 0;
    }
    if (command == "create") return RunCreate(words);
    if (command == "wire") return RunWire(words);
    return Usage("unknown command \"" + command + "\"");
}
