// The installation and springboard replies as the device sends them: property-list bytes written
// here, read back the way the service reader reads them, then taken apart.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "device/app_icons.h"
#include "device/app_install_proxy.h"
#include "formats/plist_library.h"

namespace bw {
namespace {

using Applications = std::map<std::string, CDicValueObj>;

CDicValueObj Text(const std::string& text) {
    return CDicValueObj::MakeString(text);
}

CDicValueObj App(const std::string& identifier, const std::string& type,
                 const std::string& displayName = {}, const std::string& bundleName = {}) {
    CDicValueObj app = CDicValueObj::MakeDictionary();
    app.Set("CFBundleIdentifier", Text(identifier));
    app.Set("ApplicationType", Text(type));
    if (!displayName.empty()) app.Set("CFBundleDisplayName", Text(displayName));
    if (!bundleName.empty()) app.Set("CFBundleName", Text(bundleName));
    return app;
}

CDicValueObj Array(std::vector<CDicValueObj> values) {
    CDicValueObj array = CDicValueObj::MakeArray();
    for (CDicValueObj& value : values)
        array.Array()->push_back(std::move(value));
    return array;
}

// The reply as it crosses the wire: binary (or XML) bytes, parsed again.
CDicValueObj OverTheWire(const CDicValueObj& reply, bool xml = false) {
    std::string bytes;
    if (xml) {
        writeXmlutf8(reply, bytes);
    } else {
        writeBinary(reply, bytes);
    }
    EXPECT_FALSE(bytes.empty());
    CDicValueObj parsed;
    readPlistFromByteArry(bytes.data(), static_cast<int>(bytes.size()), parsed, 0);
    return parsed;
}

CDicValueObj BrowseReply(std::vector<CDicValueObj> apps, const std::string& status = {}) {
    CDicValueObj reply = CDicValueObj::MakeDictionary();
    if (!status.empty()) reply.Set("Status", Text(status));
    reply.Set("CurrentList", Array(std::move(apps)));
    return OverTheWire(reply);
}

std::vector<std::string> Keys(const Applications& applications) {
    std::vector<std::string> keys;
    for (const auto& entry : applications)
        keys.push_back(entry.first);
    return keys;
}

TEST(AppBrowseRequest, AsksForTheAttributesInOrder) {
    const CDicValueObj request = OverTheWire(MakeBrowseRequest(), true);
    EXPECT_EQ(request.GetString("Command"), "Browse");
    const CDicValueObj* options = request.Find("ClientOptions");
    ASSERT_NE(options, nullptr);
    const CDicValueObj* attributes = options->Find("ReturnAttributes");
    ASSERT_NE(attributes, nullptr);
    ASSERT_NE(attributes->Array(), nullptr);
    std::vector<std::string> names;
    for (const CDicValueObj& name : *attributes->Array())
        names.push_back(name.String() != nullptr ? *name.String() : "?");
    EXPECT_EQ(names,
              (std::vector<std::string>{
                  "CFBundleIdentifier", "ApplicationType", "CFBundleName", "CFBundleDisplayName",
                  "CFBundleExecutable", "CFBundleVersion", "CFBundleShortVersionString", "Path",
                  "MinimumOSVersion", "UIDeviceFamily", "DynamicDiskUsage", "StaticDiskUsage"}));
}

TEST(AppBrowseReply, KeepsUserApplicationsInAnyLetterCase) {
    Applications found;
    const CDicValueObj reply =
        BrowseReply({App("com.example.notes", "User"), App("com.apple.mobilesafari", "System"),
                     App("com.example.maps", "USER"), App("com.apple.Preferences", "system"),
                     App("com.example.chat", "user"), App("com.example.hidden", "Internal")},
                    "BrowsingApplications");
    EXPECT_EQ(TakeBrowseReply(reply, found), BrowseStep::Continue);
    EXPECT_EQ(Keys(found), (std::vector<std::string>{"com.example.chat", "com.example.maps",
                                                     "com.example.notes"}));
    EXPECT_EQ(found["com.example.maps"].GetString("ApplicationType"), "USER");
}

TEST(AppBrowseReply, BatchesWithoutStatusAreTakenUntilComplete) {
    Applications found;
    EXPECT_EQ(TakeBrowseReply(BrowseReply({App("a.one", "User")}), found), BrowseStep::Continue);
    EXPECT_EQ(TakeBrowseReply(BrowseReply({App("b.two", "User")}), found), BrowseStep::Continue);
    CDicValueObj complete = CDicValueObj::MakeDictionary();
    complete.Set("Status", Text("Complete"));
    EXPECT_EQ(TakeBrowseReply(OverTheWire(complete), found), BrowseStep::Stop);
    // The final status ends the browse even when a list rides along with it.
    EXPECT_EQ(TakeBrowseReply(BrowseReply({App("c.three", "User")}, "COMPLETE"), found),
              BrowseStep::Stop);
    EXPECT_EQ(Keys(found), (std::vector<std::string>{"a.one", "b.two"}));
}

TEST(AppBrowseReply, ReplyThatIsNoDictionaryEndsTheBrowse) {
    Applications found;
    ASSERT_EQ(TakeBrowseReply(BrowseReply({App("a.one", "User")}), found), BrowseStep::Continue);
    EXPECT_EQ(TakeBrowseReply(OverTheWire(Array({App("b.two", "User")})), found), BrowseStep::Stop);
    EXPECT_EQ(TakeBrowseReply(CDicValueObj(), found), BrowseStep::Stop);
    EXPECT_EQ(TakeBrowseReply(OverTheWire(Text("Complete")), found), BrowseStep::Stop);
    EXPECT_EQ(Keys(found), (std::vector<std::string>{"a.one"}));
}

TEST(AppBrowseReply, ErrorReplyEndsTheBrowse) {
    Applications found;
    CDicValueObj error = CDicValueObj::MakeDictionary();
    error.Set("Error", Text("APIInternalError"));
    EXPECT_EQ(TakeBrowseReply(OverTheWire(error), found), BrowseStep::Stop);
    EXPECT_TRUE(found.empty());
}

TEST(AppBrowseReply, MalformedEntriesArePassedOver) {
    Applications found;
    CDicValueObj noIdentifier = CDicValueObj::MakeDictionary();
    noIdentifier.Set("ApplicationType", Text("User"));
    CDicValueObj numericType = App("a.numeric", "User");
    numericType.Set("ApplicationType", CDicValueObj::MakeInteger(1));
    CDicValueObj numericIdentifier = App("ignored", "User");
    numericIdentifier.Set("CFBundleIdentifier", CDicValueObj::MakeInteger(7));
    const CDicValueObj reply =
        BrowseReply({Text("not an app"), noIdentifier, numericType, numericIdentifier,
                     App("", "User"), App("z.good", "User")});
    EXPECT_EQ(TakeBrowseReply(reply, found), BrowseStep::Continue);
    EXPECT_EQ(Keys(found), (std::vector<std::string>{"z.good"}));

    // A list that is not an array, and a status that is not text, wait for the next reply.
    CDicValueObj odd = CDicValueObj::MakeDictionary();
    odd.Set("Status", CDicValueObj::MakeInteger(3));
    odd.Set("CurrentList", Text("Complete"));
    EXPECT_EQ(TakeBrowseReply(OverTheWire(odd), found), BrowseStep::Continue);
    EXPECT_EQ(found.size(), 1u);
}

TEST(AppBrowseReply, RepeatedIdentifierKeepsTheLatestAttributes) {
    Applications found;
    TakeBrowseReply(BrowseReply({App("a.one", "User", "Old")}), found);
    TakeBrowseReply(BrowseReply({App("a.one", "User", "New")}), found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found["a.one"].GetString("CFBundleDisplayName"), "New");
}

CDicValueObj Browsed(std::vector<CDicValueObj> apps) {
    CDicValueObj result = CDicValueObj::MakeDictionary();
    for (CDicValueObj& app : apps)
        result.Set(*app.GetString("CFBundleIdentifier"), app);
    return result;
}

TEST(AppEntries, NamesComeFromDisplayNameThenBundleName) {
    const std::vector<InstalledApplication> entries = MakeApplicationEntries(
        Browsed({App("c.both", "User", "Display", "Bundle"), App("a.bundle", "User", "", "Only"),
                 App("b.neither", "User"), App("d.unicode", "User", "Café ☕")}));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].bundleIdentifier, "a.bundle");
    EXPECT_EQ(entries[0].name, "Only");
    EXPECT_EQ(entries[1].bundleIdentifier, "b.neither");
    EXPECT_EQ(entries[1].name, "b.neither");
    EXPECT_EQ(entries[2].name, "Display");
    EXPECT_EQ(entries[3].name, "Café ☕");
    for (const InstalledApplication& entry : entries)
        EXPECT_TRUE(entry.iconData.empty());
}

TEST(AppEntries, EmptyDisplayNameFallsBackAndOrderIsByIdentifier) {
    CDicValueObj blank = App("m.blank", "User", "", "Bundle name");
    blank.Set("CFBundleDisplayName", Text(""));
    CDicValueObj numeric = App("k.numeric", "User", "", "Numbered");
    numeric.Set("CFBundleDisplayName", CDicValueObj::MakeInteger(5));
    const std::vector<InstalledApplication> entries = MakeApplicationEntries(
        Browsed({blank, App("z.last", "User", "Z"), numeric, App("A.upper", "User", "Upper")}));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].bundleIdentifier, "A.upper");  // byte order: capitals first
    EXPECT_EQ(entries[1].name, "Numbered");
    EXPECT_EQ(entries[2].name, "Bundle name");
    EXPECT_EQ(entries[3].bundleIdentifier, "z.last");
    EXPECT_TRUE(MakeApplicationEntries(CDicValueObj()).empty());
    EXPECT_TRUE(MakeApplicationEntries(Array({App("x", "User")})).empty());
}

CDicValueObj Icon(const std::string& name, const std::string& identifier) {
    CDicValueObj icon = CDicValueObj::MakeDictionary();
    icon.Set("displayName", Text(name));
    icon.Set("bundleIdentifier", Text(identifier));
    return icon;
}

CDicValueObj Folder(const std::string& name, std::vector<CDicValueObj> pages) {
    CDicValueObj folder = CDicValueObj::MakeDictionary();
    folder.Set("displayName", Text(name));
    folder.Set("listType", Text("folder"));
    folder.Set("iconLists", Array(std::move(pages)));
    return folder;
}

std::vector<std::string> Identifiers(const std::vector<IconLayoutEntry>& entries) {
    std::vector<std::string> identifiers;
    for (const IconLayoutEntry& entry : entries)
        identifiers.push_back(entry.bundleIdentifier);
    return identifiers;
}

TEST(AppIconState, PagesAndFolderKeepTheirOrder) {
    const CDicValueObj layout = OverTheWire(Array({
        Array({Icon("Phone", "com.apple.mobilephone"), Icon("Mail", "com.apple.mobilemail")}),
        Array({Icon("Notes", "com.example.notes"),
               Folder("Games",
                      {Array({Icon("Chess", "com.example.chess"), Icon("Go", "com.example.go")}),
                       Array({Icon("Cards", "com.example.cards")})}),
               Icon("Maps", "com.example.maps")}),
        Array({}),
    }));
    const std::vector<IconLayoutEntry> entries = ParseIconState(layout);
    EXPECT_EQ(Identifiers(entries),
              (std::vector<std::string>{"com.apple.mobilephone", "com.apple.mobilemail",
                                        "com.example.notes", "com.example.chess", "com.example.go",
                                        "com.example.cards", "com.example.maps"}));
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[3].displayName, "Chess");
}

TEST(AppIconState, OddItemsAndDeeperFoldersArePassedOver) {
    CDicValueObj webClip = CDicValueObj::MakeDictionary();
    webClip.Set("displayName", Text("Web clip"));
    webClip.Set("webClipURL", Text("http://example.com/"));
    CDicValueObj numericName = Icon("x", "com.example.numeric");
    numericName.Set("displayName", CDicValueObj::MakeInteger(1));
    const CDicValueObj inner = Folder("Inner", {Array({Icon("Deep", "com.example.deep")})});
    const CDicValueObj layout = OverTheWire(Array({
        Array({webClip, Text("stray"), numericName, Icon("Kept", "com.example.kept")}),
        Text("not a page"),
        Array({Folder("Outer", {Array({inner, Icon("Shallow", "com.example.shallow")}),
                                Text("not a page either")}),
               Folder("Broken", {})}),
    }));
    EXPECT_EQ(Identifiers(ParseIconState(layout)),
              (std::vector<std::string>{"com.example.kept", "com.example.shallow"}));
    EXPECT_TRUE(ParseIconState(CDicValueObj()).empty());
    EXPECT_TRUE(ParseIconState(OverTheWire(Icon("Alone", "com.example.alone"))).empty());
}

}  // namespace
}  // namespace bw
