// Seed databases for the loaders' fuzz targets: the bytes of an SQLite file made by running SQL
// in a scratch file of the target's folder.
#pragma once

#include <sqlite3.h>

#include <string>

#include "platform/files.h"

namespace bw::fuzz {

inline std::string DatabaseBytes(const std::string& folder, const char* sql) {
    const std::string path = folder + "/seed.db";
    platform::RemoveFile(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::string bytes;
    platform::ReadWholeFile(path, bytes);
    platform::RemoveFile(path);
    return bytes;
}

}  // namespace bw::fuzz
