// Taking a whole domain out of a manifest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::FileRecord;
using testing::MbdbBuilder;

TEST(ManifestRemoveDomain, TakesOutEveryRecordOfTheDomainAndNamesItsExistingFiles) {
    testing::TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    MbdbBuilder builder;
    builder.Record(FileRecord("AppDomain-com.a", "Library/a", 1));
    builder.Record(FileRecord("AppDomain-com.a.b", "Library/b", 1));  // a longer domain
    builder.Record(FileRecord("AppDomain-com.a", "Documents/missing", 1));
    builder.Record(FileRecord("HomeDomain", "Library/h", 1));
    builder.Record(FileRecord("AppDomain-com.a", "Documents/c", 1));
    folder.Write("Manifest.mbdb", builder.Bytes());
    for (const auto& [domain, path] :
         std::vector<std::pair<std::string, std::string>>{{"AppDomain-com.a", "Library/a"},
                                                          {"AppDomain-com.a.b", "Library/b"},
                                                          {"HomeDomain", "Library/h"},
                                                          {"AppDomain-com.a", "Documents/c"}}) {
        folder.Write(MbdbBackupFileName(domain, path), "x");
    }

    ManifestDataManager manifest("udid", folder.path(), folder / "Manifest.mbdb");
    const std::vector<std::string> files = manifest.RemoveDomain("AppDomain-com.a");
    EXPECT_EQ(files, (std::vector<std::string>{
                         folder / MbdbBackupFileName("AppDomain-com.a", "Library/a"),
                         folder / MbdbBackupFileName("AppDomain-com.a", "Documents/c")}));
    for (const std::string& file : files)
        EXPECT_TRUE(platform::IsFile(file));  // the caller removes them
    EXPECT_TRUE(manifest.RemoveDomain("AppDomain-com.a").empty());
    ASSERT_EQ(manifest.Save(), folder / "Manifest.mbdb");

    ManifestDataManager reread("udid", folder.path(), folder / "Manifest.mbdb");
    std::vector<std::string> left;
    for (const MbdbRecord& record : reread.Records())
        left.push_back(record.domain.text + ":" + record.path.text);
    EXPECT_EQ(left,
              (std::vector<std::string>{"AppDomain-com.a.b:Library/b", "HomeDomain:Library/h"}));
}

}  // namespace
}  // namespace bw
