// Manifest records from file metadata, and the small file helpers backup and restore share.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "mbdb.h"

namespace bw::sim::backuptool {

struct RecordFields {
    std::string domain;
    std::string path;
    std::optional<std::string> linkTarget;
    std::optional<Sha1Digest> digest;
    struct stat info {};
    uint64_t size = 0;  // of files; folders and links record 0
    uint8_t protectionClass = 0;
};

// A record with the file's mode, inode, owner, group and times (last modified, last accessed,
// status change standing in for the creation time, which POSIX does not keep).
ManifestRecord MakeRecord(const RecordFields& fields);

bool ReadLinkTarget(const std::string& path, std::string& target);
bool WriteAll(int fd, const char* bytes, size_t size);

// The one buffer that files are read through. The tool does one request on one thread, so a
// single buffer serves every file: a megabyte allocated and cleared for each file cost more than
// copying a phone's typical small file.
std::span<char> CopyBuffer();

}  // namespace bw::sim::backuptool
