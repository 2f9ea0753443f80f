// The keyed-archive decoder on archives that libplist writes: each class it knows, plain objects,
// and the broken archives a damaged or hostile file brings (references past the end, classes
// that are not references, cycles, deep chains and references shared until the tree explodes).
#include "formats/keyed_archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/plist_library.h"
#include "support/keyed_archive_builder.h"

namespace bw {
namespace {

using testing::KeyedArchiveBuilder;

CDicValueObj DecodeBytes(const std::string& bytes) {
    CDicValueObj archive;
    readPlistFromString(bytes, archive, 0);
    EXPECT_NE(archive.type, kPlistNone) << "the test's archive did not parse";
    return CNSArchiverFormatHelper::Decode(archive);
}

CDicValueObj Strings(std::initializer_list<const char*> texts) {
    CDicValueObj array = CDicValueObj::MakeArray();
    for (const char* text : texts)
        array.Array()->push_back(CDicValueObj::MakeString(text));
    return array;
}

std::vector<std::string> Keys(const CDicValueObj& dictionary) {
    std::vector<std::string> keys;
    if (const PlistDictionary* entries = dictionary.Dictionary()) {
        for (const auto& [key, value] : *entries)
            keys.push_back(key);
    }
    return keys;
}

// How many values a tree holds, itself included, and how deep its containers nest (a scalar: 0).
struct Shape {
    size_t values = 1;
    size_t nesting = 0;
};
Shape ShapeOf(const CDicValueObj& value) {
    Shape shape;
    auto add = [&](const CDicValueObj& element) {
        const Shape inner = ShapeOf(element);
        shape.values += inner.values;
        shape.nesting = std::max(shape.nesting, inner.nesting + 1);
    };
    if (const PlistArray* array = value.Array()) {
        shape.nesting = 1;
        for (const CDicValueObj& element : *array)
            add(element);
    } else if (const PlistDictionary* dictionary = value.Dictionary()) {
        shape.nesting = 1;
        for (const auto& [key, element] : *dictionary)
            add(element);
    }
    return shape;
}

TEST(KeyedArchive, EveryClassDecodesToItsPlainValue) {
    KeyedArchiveBuilder archive;
    // Keys pair with values by position; a key that is not text and a value without a key are
    // left out.
    const uint64_t dictionary = archive.Dictionary(
        "NSDictionary", {archive.String("zeta"), archive.Integer(5), archive.String("alpha")},
        {archive.String("last"), archive.String("x"), archive.Integer(42), archive.String("y")});
    const uint64_t mutableDictionary = archive.Dictionary(
        "NSMutableDictionary", {archive.String("when")}, {archive.Date(417000000.25)});
    const uint64_t root = archive.Array(
        "NSMutableArray", {dictionary, mutableDictionary, archive.Data(std::string("a\0b", 3)),
                           archive.String("plain"), archive.Integer(7), KeyedArchiveBuilder::kNull,
                           archive.Array("NSMutableArray", {})});

    for (const bool xml : {false, true}) {
        SCOPED_TRACE(xml ? "XML" : "binary");
        const CDicValueObj decoded = DecodeBytes(archive.Bytes(root, xml));
        ASSERT_NE(decoded.Array(), nullptr);
        const PlistArray& elements = *decoded.Array();
        ASSERT_EQ(elements.size(), 7u);

        // Keys in the order the archive lists them, not sorted.
        EXPECT_EQ(Keys(elements[0]), (std::vector<std::string>{"zeta", "alpha"}));
        EXPECT_EQ(elements[0].GetString("zeta"), "last");
        EXPECT_EQ(elements[0].GetInteger("alpha"), 42);
        EXPECT_EQ(Keys(elements[1]), std::vector<std::string>{"when"});
        EXPECT_EQ(elements[1].GetReal("when"), 417000000.25);
        ASSERT_NE(elements[2].Data(), nullptr);
        EXPECT_EQ(*elements[2].Data(), std::string("a\0b", 3));
        EXPECT_TRUE(PlistEquals(elements[3], CDicValueObj::MakeString("plain")));
        EXPECT_EQ(elements[4].Integer() != nullptr ? *elements[4].Integer() : -1, 7);
        EXPECT_TRUE(PlistEquals(elements[5], CDicValueObj::MakeString("$null")));
        EXPECT_TRUE(PlistEquals(elements[6], CDicValueObj::MakeArray()));
    }
}

TEST(KeyedArchive, ClassesWithoutTheirMemberDecodeToNothing) {
    KeyedArchiveBuilder archive;
    // An unknown class with data gives its data; without, nothing; a date without its time,
    // nothing. Nothing inside a collection leaves no hole.
    const uint64_t set = archive.Instance("NSSet");
    archive.Member(set, "NS.objects", KeyedArchiveBuilder::References({archive.String("x")}));
    const uint64_t withData = archive.Instance("NSString");
    archive.Member(withData, "NS.data", plist_new_data("hi", 2));
    const uint64_t root = archive.Array(
        "NSMutableArray", {set, archive.Instance("NSDate"), withData, archive.String("kept")});
    const CDicValueObj decoded = DecodeBytes(archive.Bytes(root));
    ASSERT_NE(decoded.Array(), nullptr);
    ASSERT_EQ(decoded.Array()->size(), 2u);
    EXPECT_EQ(*(*decoded.Array())[0].Data(), "hi");
    EXPECT_EQ(*(*decoded.Array())[1].String(), "kept");

    // A collection without its member lists is an empty collection.
    KeyedArchiveBuilder bare;
    const CDicValueObj emptyArray = DecodeBytes(bare.Bytes(bare.Instance("NSMutableArray")));
    EXPECT_TRUE(PlistEquals(emptyArray, CDicValueObj::MakeArray()));
    const CDicValueObj emptyDictionary = DecodeBytes(bare.Bytes(bare.Instance("NSDictionary")));
    EXPECT_TRUE(PlistEquals(emptyDictionary, CDicValueObj::MakeDictionary()));
}

TEST(KeyedArchive, ArchivesWithoutObjectsOrRootDecodeToNothing) {
    auto reference = [](int64_t index, bool extraKey = false) {
        CDicValueObj uid = CDicValueObj::MakeDictionary();
        uid.Set("CF$UID", CDicValueObj::MakeInteger(index));
        if (extraKey) uid.Set("more", CDicValueObj::MakeInteger(index));
        return uid;
    };
    auto decode = [](const CDicValueObj* objects, const CDicValueObj* root) {
        CDicValueObj archive = CDicValueObj::MakeDictionary();
        if (objects != nullptr) archive.Set("$objects", *objects);
        CDicValueObj top = CDicValueObj::MakeDictionary();
        if (root != nullptr) top.Set("root", *root);
        archive.Set("$top", top);
        return CNSArchiverFormatHelper::Decode(archive);
    };
    const CDicValueObj objects = Strings({"$null", "root"});
    const CDicValueObj good = reference(1);
    EXPECT_TRUE(PlistEquals(decode(&objects, &good), CDicValueObj::MakeString("root")));

    const CDicValueObj text = CDicValueObj::MakeString("x");
    EXPECT_EQ(decode(nullptr, &good).type, kPlistNone);
    EXPECT_EQ(decode(&text, &good).type, kPlistNone);
    EXPECT_EQ(decode(&objects, nullptr).type, kPlistNone);
    for (const CDicValueObj& root :
         {CDicValueObj::MakeInteger(1), reference(-1), reference(1, true)}) {
        EXPECT_EQ(decode(&objects, &root).type, kPlistNone);
    }
    CDicValueObj noTop = CDicValueObj::MakeDictionary();
    noTop.Set("$objects", objects);
    EXPECT_EQ(CNSArchiverFormatHelper::Decode(noTop).type, kPlistNone);
    EXPECT_EQ(CNSArchiverFormatHelper::Decode(CDicValueObj::MakeArray()).type, kPlistNone);
}

TEST(KeyedArchive, BrokenReferencesLeaveTheRestOfTheValue) {
    KeyedArchiveBuilder archive;
    const uint64_t good = archive.String("good");
    // "$class" as a string, and as a reference past the end of the objects.
    const uint64_t textClass = archive.Add(plist_new_dict());
    archive.Member(textClass, "$class", plist_new_string("NSMutableArray"));
    archive.Member(textClass, "NS.data", plist_new_data("no", 2));
    const uint64_t farClass = archive.Add(plist_new_dict());
    archive.Member(farClass, "$class", plist_new_uid(100000));
    archive.Member(farClass, "NS.data", plist_new_data("far", 3));
    // Elements: a good reference, one past the end, an inline string that is no reference, a
    // reference with a key too many, and the two objects above.
    const uint64_t root = archive.Instance("NSMutableArray");
    plist_t elements = KeyedArchiveBuilder::References({good, 99999});
    plist_array_append_item(elements, plist_new_string("inline"));
    plist_t twoKeys = plist_new_dict();
    plist_dict_set_item(twoKeys, "CF$UID", plist_new_uint(good));
    plist_dict_set_item(twoKeys, "more", plist_new_uint(good));
    plist_array_append_item(elements, twoKeys);
    plist_array_append_item(elements, plist_new_uid(textClass));
    plist_array_append_item(elements, plist_new_uid(farClass));
    archive.Member(root, "NS.objects", elements);
    const CDicValueObj decoded = DecodeBytes(archive.Bytes(root));
    ASSERT_NE(decoded.Array(), nullptr);
    // The reference past the end and the text class give nothing; the class past the end names
    // no class, so the object reads as one of an unknown class: its data.
    ASSERT_EQ(decoded.Array()->size(), 2u);
    EXPECT_EQ(*(*decoded.Array())[0].String(), "good");
    EXPECT_EQ(*(*decoded.Array())[1].Data(), "far");

    EXPECT_EQ(DecodeBytes(archive.Bytes(99999)).type, kPlistNone);
    EXPECT_EQ(DecodeBytes(archive.Bytes(textClass)).type, kPlistNone);
}

TEST(KeyedArchive, CyclesEndWithThePartThatWasDecoded) {
    KeyedArchiveBuilder archive;
    // An array holding itself and a string.
    const uint64_t self = archive.Instance("NSMutableArray");
    const uint64_t text = archive.String("leaf");
    archive.Member(self, "NS.objects", KeyedArchiveBuilder::References({self, text}));
    const CDicValueObj direct = DecodeBytes(archive.Bytes(self));
    EXPECT_TRUE(PlistEquals(direct, Strings({"leaf"})));

    // A dictionary whose value is an array that holds the dictionary again, and a dictionary
    // whose key is itself.
    const uint64_t outer = archive.Instance("NSDictionary");
    const uint64_t inner = archive.Array("NSMutableArray", {outer, text});
    archive.Member(outer, "NS.keys", KeyedArchiveBuilder::References({archive.String("k"), outer}));
    archive.Member(outer, "NS.objects", KeyedArchiveBuilder::References({inner, text}));
    const CDicValueObj indirect = DecodeBytes(archive.Bytes(outer));
    EXPECT_EQ(Keys(indirect), std::vector<std::string>{"k"});
    ASSERT_NE(indirect.Find("k"), nullptr);
    EXPECT_TRUE(PlistEquals(*indirect.Find("k"), Strings({"leaf"})));
}

TEST(KeyedArchive, DeepChainsStopAtTheDepthLimit) {
    KeyedArchiveBuilder archive;
    // 20000 arrays, each holding the next: far deeper than any stack frame budget allows.
    constexpr uint64_t kLinks = 20000;
    const uint64_t first = archive.Instance("NSMutableArray");
    uint64_t previous = first;
    for (uint64_t i = 1; i < kLinks; ++i) {
        const uint64_t next = archive.Instance("NSMutableArray");
        archive.Member(previous, "NS.objects", KeyedArchiveBuilder::References({next}));
        previous = next;
    }
    const CDicValueObj decoded = DecodeBytes(archive.Bytes(first));
    ASSERT_NE(decoded.Array(), nullptr);
    EXPECT_EQ(ShapeOf(decoded).nesting, kKeyedArchiveMaxDepth + 1u);

    // The same chain entered a few links from its end decodes whole.
    const CDicValueObj tail = DecodeBytes(archive.Bytes(previous - 3));
    EXPECT_EQ(ShapeOf(tail).nesting, 4u);
}

TEST(KeyedArchive, SharedReferencesCannotBuildAnEndlessTree) {
    KeyedArchiveBuilder archive;
    // 50 levels, each an array referring twice to the level below: 2^50 leaves as a tree.
    uint64_t level = archive.String("leaf");
    for (int i = 0; i < 50; ++i)
        level = archive.Array("NSMutableArray", {level, level});
    const CDicValueObj decoded = DecodeBytes(archive.Bytes(level));
    ASSERT_NE(decoded.Array(), nullptr);
    const size_t values = ShapeOf(decoded).values;
    EXPECT_LE(values, kKeyedArchiveMaxValues);
    EXPECT_GT(values, kKeyedArchiveMaxValues / 4);  // the budget is spent, not wasted

    // The same with a large plain array at the bottom: it counts with all its elements.
    KeyedArchiveBuilder plain;
    plist_t strings = plist_new_array();
    for (int i = 0; i < 5000; ++i)
        plist_array_append_item(strings, plist_new_string("s"));
    uint64_t plainLevel = plain.Add(strings);
    for (int i = 0; i < 30; ++i)
        plainLevel = plain.Array("NSMutableArray", {plainLevel, plainLevel});
    const CDicValueObj plainDecoded = DecodeBytes(plain.Bytes(plainLevel));
    EXPECT_LE(ShapeOf(plainDecoded).values, kKeyedArchiveMaxValues);

    // A shared object within the budget appears whole wherever it is referred to.
    KeyedArchiveBuilder small;
    const uint64_t shared = small.Array("NSMutableArray", {small.String("s")});
    const uint64_t root = small.Array("NSMutableArray", {shared, shared});
    EXPECT_TRUE(PlistEquals(DecodeBytes(small.Bytes(root)).Array()->at(1), Strings({"s"})));
}

}  // namespace
}  // namespace bw
