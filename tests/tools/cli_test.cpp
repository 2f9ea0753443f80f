// The command-line host, run as a program the way people and scripts run it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "support/build_paths.h"
#include "support/cli_run.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::CliRun;

class CommandLine : public ::testing::Test {
  protected:
    CliRun Brackwater(const std::string& arguments) {
        const std::string out = folder / "stdout", err = folder / "stderr";
        const std::string command = std::string(BRACKWATER_CLI_PATH) + " " + arguments + " >" +
                                    out + " 2>" + err + " </dev/null";
        const int raw = std::system(command.c_str());
        CliRun result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = testing::ReadFileBytes(out);
        result.err = testing::ReadFileBytes(err);
        return result;
    }

    static size_t Lines(const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    testing::TempFolder folder;
};

constexpr std::string_view kPlistXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\"><dict>"
    "<key>zeta</key><string>last &amp; first</string>"
    "<key>alpha</key><array><integer>-3</integer><real>2.5</real><true/></array>"
    "<key>when</key><date>2014-06-30T09:41:00Z</date>"
    "<key>blob</key><data>3q2+7w==</data>"
    "</dict></plist>\n";

TEST_F(CommandLine, PlistConvertPrintsJsonInTheListsKeyOrder) {
    const std::string file = folder.Write("in.plist", kPlistXml);
    const CliRun run = Brackwater("plist convert " + file + " --to json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\n"
              "  \"zeta\": \"last & first\",\n"
              "  \"alpha\": [\n"
              "    -3,\n"
              "    2.5,\n"
              "    true\n"
              "  ],\n"
              "  \"when\": {\"$date\": \"2014-06-30T09:41:00Z\"},\n"
              "  \"blob\": {\"$data\": \"3q2+7w==\"}\n"
              "}\n");
}

TEST_F(CommandLine, PlistConvertBetweenFormatsAndCodecsKeepsTheContent) {
    const std::string file = folder.Write("in.plist", kPlistXml);
    for (const char* codec : {"library", "own"}) {
        SCOPED_TRACE(codec);
        const std::string binary = folder / (std::string(codec) + ".bin");
        const std::string xml = folder / (std::string(codec) + ".xml");
        ASSERT_EQ(
            Brackwater("plist convert " + file + " --to binary -o " + binary + " --codec " + codec)
                .status,
            0);
        EXPECT_TRUE(testing::ReadFileBytes(binary).starts_with("bplist00"));
        ASSERT_EQ(
            Brackwater("plist convert " + binary + " --to xml -o " + xml + " --codec " + codec)
                .status,
            0);
        EXPECT_NE(testing::ReadFileBytes(xml).find("<key>zeta</key>"), std::string::npos);
        const CliRun fromBinary = Brackwater("plist convert " + binary + " --to json --codec own");
        const CliRun fromXml = Brackwater("plist convert " + xml + " --to json --codec own");
        ASSERT_EQ(fromBinary.status, 0);
        EXPECT_EQ(fromBinary.out, fromXml.out);
        EXPECT_NE(fromBinary.out.find("\"$date\": \"2014-06-30T09:41:00Z\""), std::string::npos);
    }
}

// A user-named output replaces a regular file only, whole, with its mode; anything else there is
// refused and left as it was, and no neighbour of a guessable name is touched.
TEST_F(CommandLine, PlistConvertOutputReplacesOnlyRegularFiles) {
    const std::string input = folder.Write("in.plist", kPlistXml);
    const std::string neighbour = folder.Write("out.json.brackwater-tmp", "neighbour");
    const std::string privateOut = folder.Write("out.json", "old");
    ::chmod(privateOut.c_str(), 0600);
    ASSERT_EQ(Brackwater("plist convert " + input + " --to json -o " + privateOut).status, 0);
    struct stat info {};
    ASSERT_EQ(::stat(privateOut.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(testing::ReadFileBytes(privateOut).find("\"alpha\""), std::string::npos);
    EXPECT_EQ(testing::ReadFileBytes(neighbour), "neighbour");

    const std::string fifo = folder / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string target = folder.Write("target", "untouched");
    const std::string link = folder / "link";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& refused : {fifo, link, std::string(folder / "")}) {
        SCOPED_TRACE(refused);
        const CliRun run = Brackwater("plist convert " + input + " --to json -o " + refused);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
    }
    ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(testing::ReadFileBytes(target), "untouched");
    // Nothing but the files made above: no temporary file stays behind.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path()))
        ++entries;
    EXPECT_EQ(entries, 8u);
}

TEST_F(CommandLine, BadInputGivesOneLineNamingTheFileAndStatusOne) {
    const std::string junk = folder.Write("junk.plist", "this is not a property list");
    const std::string cut = folder.Write("cut.plist", std::string("bplist00\xD1\x01\x02", 11));
    for (const std::string& file : {junk, cut, folder / "missing.plist", folder.path()}) {
        for (const char* codec : {"library", "own"}) {
            const CliRun run =
                Brackwater("plist convert " + file + " --to json --codec " + std::string(codec));
            EXPECT_EQ(run.status, 1) << file;
            EXPECT_EQ(Lines(run.err), 1u) << run.err;
            EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
            EXPECT_TRUE(run.out.empty());
        }
    }
}

TEST_F(CommandLine, UsageErrorsExitWithTwo) {
    const std::string file = folder.Write("in.plist", kPlistXml);
    for (const std::string& arguments : std::vector<std::string>{
             std::string(""), std::string("frobnicate"), "plist convert " + file,
             "plist convert " + file + " --to yaml",
             "plist convert " + file + " --to json --codec x", "plist convert --to json",
             "plist convert " + file + " --to", "plist", "manifest list", "manifest shred x",
             "manifest list a b", "plist convert " + file + " --to json --bogus"}) {
        EXPECT_EQ(Brackwater(arguments).status, 2) << arguments;
    }
}

std::string SmallManifest() {
    testing::MbdbRecordFields fields;
    fields.dataHash.emplace();
    for (int i = 0; i < 20; ++i)
        fields.dataHash->push_back(static_cast<char>(0xF0 + (i % 16)));
    fields.inode = 7;
    fields.modifiedTime = fields.accessedTime = fields.createdTime = 1404120620;
    fields.size = 4096;
    fields.protectionClass = 3;
    fields.properties = {{"com.apple.sub", std::string("\x01\x02", 2)}};
    testing::MbdbBuilder manifest;
    fields.domain = "HomeDomain", fields.path = "Library/SMS/sms.db";
    manifest.Record(fields);
    fields.domain = "MediaDomain", fields.path = "DCIM/100APPLE/IMG_0001.JPG";
    fields.dataHash.reset();
    return manifest.Record(fields).Bytes();
}

TEST_F(CommandLine, ManifestListShowsEveryRecordAsJsonAndTellsWhichFilesExist) {
    const std::string manifest = folder.Write("backup/Manifest.mbdb", SmallManifest());
    const std::string name = MbdbBackupFileName("HomeDomain", "Library/SMS/sms.db");
    folder.Write("backup/" + name, "x");

    const CliRun run = Brackwater("manifest list " + (folder / "backup") + " --json");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(Lines(run.out), 2u);
    const std::string first = run.out.substr(0, run.out.find('\n'));
    EXPECT_EQ(first,
              "{\"domain\":\"HomeDomain\",\"path\":\"Library/SMS/sms.db\",\"target\":null,"
              "\"hash\":\"f0f1f2f3f4f5f6f7f8f9fafbfcfdfefff0f1f2f3\",\"key\":null,\"mode\":33188,"
              "\"inode\":7,\"uid\":501,\"gid\":501,\"mtime\":1404120620,\"atime\":1404120620,"
              "\"ctime\":1404120620,\"size\":4096,\"protection\":3,"
              "\"properties\":{\"com.apple.sub\":\"0102\"},\"file\":\"" +
                  name + "\",\"exists\":true}");
    EXPECT_NE(run.out.find("\"hash\":null"), std::string::npos);
    EXPECT_NE(run.out.find("\"exists\":false"), std::string::npos);

    const CliRun text = Brackwater("manifest list " + manifest);
    ASSERT_EQ(text.status, 0);
    EXPECT_EQ(text.out.substr(0, 40), name);
    EXPECT_NE(text.out.find("-rw-r--r--"), std::string::npos);
    EXPECT_NE(text.out.find("MediaDomain DCIM/100APPLE/IMG_0001.JPG"), std::string::npos);
}

TEST_F(CommandLine, ManifestResaveKeepsTheBytesAndRefusesDamagedFiles) {
    const std::string manifest = folder.Write("Manifest.mbdb", SmallManifest());
    ASSERT_EQ(Brackwater("manifest resave " + manifest).status, 0);
    EXPECT_EQ(testing::ReadFileBytes(manifest), SmallManifest());

    const std::string bad = folder.Write("bad/Manifest.mbdb", "mbdx\x05\x00 whatever");
    const CliRun run = Brackwater("manifest list " + bad);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "brackwater: " + bad +
                           ": not a backup manifest: bad magic at byte 3 (expected \"mbdb\" and "
                           "the format byte 05)\n");

    // A cut manifest lists what it holds, then fails; resave leaves it untouched.
    const std::string whole = SmallManifest();
    const std::string cut = folder.Write("cut/Manifest.mbdb", whole.substr(0, whole.size() - 5));
    const CliRun listed = Brackwater("manifest list " + cut);
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(Lines(listed.out), 1u);
    EXPECT_EQ(Lines(listed.err), 1u);
    EXPECT_EQ(Brackwater("manifest resave " + cut).status, 1);
    EXPECT_EQ(testing::ReadFileBytes(cut), whole.substr(0, whole.size() - 5));
}

}  // namespace
}  // namespace bw
