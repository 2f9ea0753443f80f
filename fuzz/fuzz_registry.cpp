// The registry file parser on any text. Input: the file's text, then a NUL and a value (no NUL:
// all of it is the text). Whatever the text holds, a well-formed key written after it still
// reads back (a bad line never hides the rest of the file), and the value, escaped as the library
// writes values, reads back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_seeds.h"
#include "platform/registry.h"

namespace {

using bw::platform::RegistryFile;
using bw::platform::RegistryRoot;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace std::string_literals;
    bw::fuzz::MaybeWriteSeeds({
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\r\n"
        "\"InstallDir\"=\"C:\\\\Program Files\\\\Common Files\\\\Apple\\\\\"\r\n"
        "@=\"default\"\r\n"
        "\"Version\"=dword:0000001f\r\n"s,
        "\xEF\xBB\xBFREGEDIT4\n[HKLM\\Software\\X\\]\n\"a\\\"b\"=\"c\\\\d\"\n"
        "[-HKCU\\Gone]\n; comment\n\"hex\"=hex:01,02\n\0C:\\path with \"quotes\"\\"s,
        "[HKCR\n\"x\"=\"unterminated\n[HKU\\.DEFAULT]\n\"big\"=dword:123456789\n"
        "\"bad\"=dword:zz\n\"trail\"=\"v\" junk\n"s,
        "[\n]\n[]\n=\n@\n\"\n\"\"=\"\"\n\0"s,
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string_view text = input.substr(0, split);
    const std::string_view value =
        split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);

    const RegistryFile parsed = RegistryFile::Parse(text);
    parsed.Read(RegistryRoot::LocalMachine, "SOFTWARE\\Apple Inc.\\Apple Application Support",
                "InstallDir");
    parsed.Read(RegistryRoot::CurrentUser, "", "");
    parsed.HasKey(RegistryRoot::ClassesRoot, "\\");

    // A value on one line survives the escape and the parse, under any case of its names.
    std::string file(text);
    file += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fuzz\\Check]\n\"Probe\"=\"ok\"\n";
    const bool oneLine = value.find('\n') == std::string_view::npos;
    if (oneLine) file += "\"Value\"=\"" + bw::platform::EscapeRegistryString(value) + "\"\n";
    const RegistryFile extended = RegistryFile::Parse(file);
    Check(extended.HasKey(RegistryRoot::LocalMachine, "software\\fuzz\\check\\"));
    Check(extended.Read(RegistryRoot::LocalMachine, "SOFTWARE\\Fuzz\\Check", "probe") == "ok");
    if (oneLine) {
        Check(extended.Read(RegistryRoot::LocalMachine, "\\Software\\FUZZ\\check", "VALUE") ==
              std::string(value));
    }
    // The text's own keys are all still there, and only the probe's key was added.
    const bool had = parsed.HasKey(RegistryRoot::LocalMachine, "SOFTWARE\\Fuzz\\Check");
    Check(extended.KeyCount() == parsed.KeyCount() + (had ? 0 : 1));
    return 0;
}
