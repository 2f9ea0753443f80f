// What the Safari scanner tests share: property lists built and read back with libplist (never
// with the library's own readers and writers), and a backup folder holding one Safari file that
// a scan session lists and cleans through the deep-clean configuration.
#pragma once

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/scan.h"
#include "common/plist_tree.h"
#include "session/scan_device.h"
#include "support/canary.h"

namespace bw::testing {

// libplist trees, owned and shown as XML the way the simulator does it.
using Node = sim::PlistTree;
inline std::string XmlOf(plist_t node) {
    return sim::PlistXml(node);
}

inline plist_t Str(std::string_view text) {
    return plist_new_string(std::string(text).c_str());
}

// Appends `node` (taken over) and returns the array.
inline plist_t Push(plist_t array, plist_t node) {
    plist_array_append_item(array, node);
    return array;
}

inline plist_t Put(plist_t dict, const char* key, plist_t node) {
    plist_dict_set_item(dict, key, node);
    return dict;
}

inline std::string BinaryOf(plist_t node) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::string out = bytes != nullptr ? std::string(bytes, length) : std::string();
    free(bytes);
    return out;
}

inline Node ParseBytes(const std::string& bytes) {
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    return Node(node);
}

// The XML text of every element of an array, in order: equal texts are equal content.
inline std::vector<std::string> ElementTexts(plist_t array) {
    std::vector<std::string> texts;
    if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY) return texts;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i)
        texts.push_back(XmlOf(plist_array_get_item(array, i)));
    return texts;
}

// Reads a record's text through the two-call getter, checking the count it answers. The record
// may be of a class that implements the getter's interface.
template <class Record>
std::u16string Text(std::type_identity_t<Record>* record, size_t (Record::*getter)(BwChar*)) {
    const size_t count = (record->*getter)(nullptr);
    std::u16string text(count, u'#');
    EXPECT_EQ((record->*getter)(text.data()), count);
    EXPECT_GE(count, 2u);
    const size_t end = text.find(u'\0');
    EXPECT_EQ(end, count - 2) << "the count is the length plus 2";
    return text.substr(0, end);
}

// A hand-made binary list {key: array} whose array claims two billion elements.
inline std::string HugeCountList(const std::string& key) {
    std::string bytes = "bplist00";
    bytes += "\xD1\x01\x02";  // object 0 at 8: {object 1: object 2}
    bytes += "\x5F\x10" + std::string(1, static_cast<char>(key.size())) + key;  // object 1 at 11
    const size_t array = bytes.size();
    bytes += std::string("\xAF\x12\x7F\xFF\xFF\xFF", 6);  // object 2
    const size_t table = bytes.size();
    bytes += std::string("\x08\x0B", 2) + static_cast<char>(array);
    std::string trailer(6, '\0');  // unused, sort version
    trailer += '\x01';             // offset size
    trailer += '\x01';             // reference size
    trailer += std::string(7, '\0') + '\x03';
    trailer += std::string(8, '\0');
    trailer += std::string(7, '\0') + static_cast<char>(table);
    return bytes + trailer;
}

// The date texts count from local midnight, so tests that read them fix the zone first.
inline void UseTimeZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
}

class SafariSessionFixture : public DeepCleanFixture {
  protected:
    static constexpr char kHomeDomain[] = "HomeDomain";
    static constexpr char kSafariAppDomain[] = "AppDomain-com.apple.mobilesafari";

    // A backup of a phone of `version` with `bytes` as the Safari file at `path` in `domain`,
    // set up for a deep clean; the session is ready to scan.
    void Prepare(std::string_view domain, std::string_view path, const std::string& bytes,
                 std::string_view version = "6.1.3") {
        domain_ = domain;
        path_ = path;
        WriteBackup(
            {{"HomeDomain", "Library", "", true}, {std::string(domain), std::string(path), bytes}},
            version);
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance(), std::string(version)));
        before_ = FingerprintTree(Source());
        session_.SetStatusRecord(Status());
    }

    BwScanStatus* Status() { return reinterpret_cast<BwScanStatus*>(record_); }
    std::u16string Message() {
        return std::u16string(reinterpret_cast<const char16_t*>(Status()->message));
    }

    // The working copy the scanner edits, in the restore copy folder.
    std::string WorkingCopy() const { return RestoreCopy() + "/" + FileName(domain_, path_); }
    std::string WorkingBytes() const { return ReadFileBytes(WorkingCopy()); }

    // The elements of the array at `arrayKey` of the working copy, as XML texts, after checking
    // that the clean wrote a binary list and kept the number at `keptKey` as `kept`.
    std::vector<std::string> ArrayOnDisk(const char* arrayKey, const char* keptKey, uint64_t kept) {
        const std::string bytes = WorkingBytes();
        EXPECT_EQ(bytes.substr(0, 8), "bplist00") << "the clean writes a binary list";
        Node tree = ParseBytes(bytes);
        EXPECT_NE(tree, nullptr);
        if (tree == nullptr) return {};
        uint64_t number = 0;
        if (plist_t node = plist_dict_get_item(tree.get(), keptKey))
            plist_get_uint_val(node, &number);
        EXPECT_EQ(number, kept) << "the other keys stay";
        return ElementTexts(plist_dict_get_item(tree.get(), arrayKey));
    }

    // A fresh backup and work folder for the next case of a table.
    void Reset() {
        platform::DeleteTree(Root());
        platform::DeleteTree(Work());
    }

    // The source backup folder is only written when the deep clean completes.
    void ExpectSourceUntouched() { EXPECT_EQ(FingerprintTree(Source()), before_); }

    std::string domain_;
    std::string path_;
    TreeFingerprint before_;
    alignas(8) unsigned char record_[sizeof(BwScanStatus)] = {};
    CScanDevice session_{nullptr};
};

}  // namespace bw::testing
