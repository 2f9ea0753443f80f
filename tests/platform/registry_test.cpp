#include "platform/registry.h"

#include <gtest/gtest.h>

#include "support/temp_folder.h"

namespace bw::platform {
namespace {

constexpr std::string_view kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; Apple's install locations\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\r\n"
    "\"iTunesMobileDeviceDLL\"=\"C:\\\\Program Files\\\\MD\\\\MD.dll\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\"Flags\"=dword:0000002a\r\n"
    "[HKEY_CLASSES_ROOT\\applications\\iTunes.exe\\shell\\open\\command]\n"
    "@=\"\\\"/opt/x/iTunes.exe\\\" \\\"%1\\\"\"\n";

TEST(RegistryFile, ReadsStringsWithEscapesDwordsAndDefaults) {
    const RegistryFile file = RegistryFile::Parse(kSample);
    const std::string key = "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";
    EXPECT_EQ(file.Read(RegistryRoot::LocalMachine, key, "iTunesMobileDeviceDLL"),
              "C:\\Program Files\\MD\\MD.dll");
    EXPECT_EQ(file.Read(RegistryRoot::LocalMachine, key, "Quoted"), "say \"hi\"");
    EXPECT_EQ(file.Read(RegistryRoot::LocalMachine, key, "Flags"), "42");
    EXPECT_EQ(
        file.Read(RegistryRoot::ClassesRoot, "applications\\iTunes.exe\\shell\\open\\command", ""),
        "\"/opt/x/iTunes.exe\" \"%1\"");
}

TEST(RegistryFile, KeysAndNamesIgnoreLetterCaseButRootsMatter) {
    const RegistryFile file = RegistryFile::Parse(kSample);
    const std::string key = "software\\apple inc.\\APPLE MOBILE DEVICE SUPPORT\\shared\\";
    EXPECT_TRUE(file.HasKey(RegistryRoot::LocalMachine, key));
    EXPECT_TRUE(file.Read(RegistryRoot::LocalMachine, key, "itunesmobiledevicedll").has_value());
    EXPECT_FALSE(file.HasKey(RegistryRoot::CurrentUser, key));
    EXPECT_FALSE(file.Read(RegistryRoot::LocalMachine, key, "Missing").has_value());
    EXPECT_FALSE(file.Read(RegistryRoot::LocalMachine, key, "").has_value());  // no default
}

TEST(RegistryFile, BrokenLinesAreSkippedAndTheRestStillReads) {
    const RegistryFile file = RegistryFile::Parse(
        "REGEDIT4\n"
        "\"Orphan\"=\"before any key\"\n"
        "[HKEY_NOWHERE\\Key]\n"
        "\"InUnknownRoot\"=\"x\"\n"
        "[HKLM\\Software\\Good\n"  // no closing bracket: the lines below belong to no key
        "\"Lost\"=\"x\"\n"
        "[HKLM\\Software\\Good]\n"
        "\"Unterminated\"=\"abc\n"
        "\"NoEquals\" \"abc\"\n"
        "\"BadDword\"=dword:xyz\n"
        "\"TooLongDword\"=dword:123456789\n"
        "\"Trailing\"=\"a\" junk\n"
        "garbage line\n"
        "\"Kept\"=\"yes\"\n"
        "\"Binary\"=hex:01,02\n");
    EXPECT_EQ(file.KeyCount(), 1u);
    EXPECT_EQ(file.Read(RegistryRoot::LocalMachine, "Software\\Good", "Kept"), "yes");
    for (const char* name : {"Lost", "Unterminated", "NoEquals", "BadDword", "TooLongDword",
                             "Trailing", "Binary", "Orphan"}) {
        EXPECT_FALSE(file.Read(RegistryRoot::LocalMachine, "Software\\Good", name)) << name;
    }
}

TEST(RegistryFile, EscapingRoundTripsThroughTheParser) {
    const std::string value = "C:\\a \"b\"\\";
    const RegistryFile file =
        RegistryFile::Parse("[HKCU\\K]\n\"V\"=\"" + EscapeRegistryString(value) + "\"\n");
    EXPECT_EQ(file.Read(RegistryRoot::CurrentUser, "K", "V"), value);
}

TEST(RegistryFile, ProcessRegistryComesFromTheEnvironmentAndMissingFileIsEmpty) {
    testing::TempFolder folder;
    const std::string path = folder.Write("my.reg", "[HKLM\\S]\n\"N\"=\"v\"\n");
    ::setenv("BRACKWATER_REGISTRY", path.c_str(), 1);
    EXPECT_EQ(RegistryFilePath(), path);
    EXPECT_EQ(ReadRegistryString(RegistryRoot::LocalMachine, "S", "N"), "v");
    EXPECT_TRUE(RegistryKeyExists(RegistryRoot::LocalMachine, "S"));

    // Rewritten while the process runs: the next read sees the new text.
    folder.Write("my.reg", "[HKLM\\S]\n\"N\"=\"w\"\n");
    EXPECT_EQ(ReadRegistryString(RegistryRoot::LocalMachine, "S", "N"), "w");

    ::setenv("BRACKWATER_REGISTRY", (folder / "missing.reg").c_str(), 1);
    EXPECT_FALSE(ReadRegistryString(RegistryRoot::LocalMachine, "S", "N"));
    EXPECT_FALSE(RegistryKeyExists(RegistryRoot::LocalMachine, "S"));

    ::unsetenv("BRACKWATER_REGISTRY");
    ::setenv("XDG_CONFIG_HOME", folder.path().c_str(), 1);
    EXPECT_EQ(RegistryFilePath(), folder / "brackwater/registry.reg");
}

TEST(RegistryFile, RoamingFolderPrefersTheRegistryThenXdg) {
    testing::TempFolder folder;
    ::setenv("BRACKWATER_REGISTRY", (folder / "none.reg").c_str(), 1);
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(RoamingAppDataFolder(), "/data/home");
    folder.Write(
        "none.reg",
        "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
        "Folders]\n\"AppData\"=\"/roaming\"\n");
    EXPECT_EQ(RoamingAppDataFolder(), "/roaming");
}

}  // namespace
}  // namespace bw::platform
