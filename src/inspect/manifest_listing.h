// Backup manifests for people and tools: one line per record, as text or JSON.
#pragma once

#include <functional>
#include <string>

namespace bw::inspect {

// `path` is a backup folder or its "Manifest.mbdb". Each line goes to `line` with its newline.
// On failure `error` names the file and the problem; records read before a cut are still listed.
bool ListManifest(const std::string& path, bool json,
                  const std::function<void(const std::string& line)>& line, std::string& error);

// Loads and saves the manifest in place.
bool ResaveManifest(const std::string& path, std::string& error);

}  // namespace bw::inspect
