// Reads arbitrary bytes as a manifest; whatever was read must write back and read again to the
// same records, and a manifest read completely must write back byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../tests/backup/mbdb_builder.h"
#include "backup/manifest.h"
#include "fuzz_seeds.h"

namespace {

using bw::testing::FileRecord;
using bw::testing::MbdbBuilder;
using bw::testing::MbdbRecordFields;

void Check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::string> Seeds() {
    MbdbBuilder varied;
    MbdbRecordFields hashed = FileRecord("HomeDomain", "Library/SMS/sms.db", 4096);
    hashed.dataHash = std::string(
        "\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff"
        "\x01\x02\x03\x04",
        20);
    hashed.encryptionKey = std::string("\x00\x00\x00\x03key", 7);
    hashed.properties = {{"name", "value"}, {std::nullopt, std::string("\x00\x80", 2)}};
    varied.Record(hashed);
    MbdbRecordFields link = FileRecord("RootDomain", "Library/link");
    link.linkTarget = "/var/mobile/target";
    link.mode = 0120644;
    varied.Record(link);
    MbdbRecordFields empties;
    empties.domain = "";
    empties.path = std::nullopt;
    empties.dataHash = "";
    varied.Record(empties);
    varied.Record(FileRecord("AppDomain-com.example.app", "Documents/caf\xc3\xa9\xff"));

    const std::string full = varied.Bytes();
    return {
        full,
        full.substr(0, full.size() - 5),
        MbdbBuilder().Bytes(),
        MbdbBuilder(std::string_view("mbdb\x04\x00", 6)).Record(FileRecord("D", "p")).Bytes(),
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bw::MbdbReadResult first = bw::ReadMbdb(bytes);
    if (!first.headerMatches) {
        Check(first.records.empty() && first.error == "bad .mbdb file");
        return 0;
    }
    Check(first.bytesRead <= size);
    Check(first.error.empty() == (first.bytesRead == size));

    const std::string written = bw::WriteMbdb(first.header, first.records);
    // The list writes unchanged records from the bytes it read; that must equal encoding them.
    bw::MbdbRecordList list;
    Check(list.Read(std::string(bytes)));
    Check(list.Write() == written);
    // Decoding into one reused record leaves nothing of the record before.
    bw::MbdbRecord reused;
    for (size_t i = 0; i < list.Size(); ++i) {
        list.Record(i, reused);
        Check(reused == first.records[i]);
    }
    const bw::MbdbReadResult second = bw::ReadMbdb(written);
    Check(second.headerMatches && second.error.empty());
    Check(second.records.size() == first.records.size());
    bool anyEmptyHash = false;
    for (size_t i = 0; i < first.records.size(); ++i) {
        bw::MbdbRecord expected = first.records[i];
        // A data hash stored with length 0 is written as "no value".
        if (expected.dataHash.storedLength == 0) {
            expected.dataHash = bw::MbdbValue{};
            anyEmptyHash = true;
        }
        Check(second.records[i] == expected);
    }
    if (first.error.empty() && !anyEmptyHash) Check(written == bytes);
    Check(bw::WriteMbdb(second.header, second.records) == written);
    return 0;
}
