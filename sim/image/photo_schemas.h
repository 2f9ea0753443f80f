// The photo library database of iOS 5, 6 and 7 as Core Data lays it out: one table per root
// entity, sub-entities told apart by Z_ENT, the album-to-asset relation in a join table named
// after the two entity numbers, and Z_PRIMARYKEY listing every entity with the largest key
// handed out so far.
#pragma once

#include <string>
#include <vector>

namespace bw::sim {

struct PhotoEntity {
    int number;        // Z_ENT
    const char* name;  // Z_NAME
    int super;         // Z_SUPER: the parent entity, 0 for a root
};

struct PhotoSchema {
    const char* sql;  // tables and indexes
    std::vector<PhotoEntity> entities;
    int attributesEntity;     // ADDITIONALASSETATTRIBUTES rows
    int genericAlbumEntity;   // root of ZGENERICALBUM
    int albumEntity;          // camera roll, user and synced albums: owns the asset relation
    int photoStreamEntity;    // sub-entity of the album entity
    int genericAssetEntity;   // root of ZGENERICASSET
    int assetEntity;          // the photos and videos
    bool hasKindSubtype;      // ZGENERICASSET.ZKINDSUBTYPE (iOS 7)
    double frameworkVersion;  // NSPersistenceFrameworkVersion of the store's metadata

    // "Z_8ASSETS", "Z_8ALBUMS", "Z_14ASSETS", "Z_FOK_14ASSETS" and the back references
    // "Z14_ASSET", "Z14_KEYASSET" for iOS 6; the numbers differ by version.
    std::string JoinTable() const;
    std::string JoinAlbumColumn() const;
    std::string JoinAssetColumn() const;
    std::string JoinOrderColumn() const;
    std::string AssetReferenceColumn() const;
    std::string KeyAssetReferenceColumn() const;
};

// The schema of an iOS major version (5, 6 or 7).
const PhotoSchema& PhotoSchemaFor(int major);

}  // namespace bw::sim
