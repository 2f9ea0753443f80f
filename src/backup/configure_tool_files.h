// File steps of the deep clean that must not follow links and must never leave half a file.
// The platform layer's CopyFile writes in place and follows links, so these few steps live here.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace bw::configure {

// Called before a write (see CConfigureTool::SetWriteStepHook).
using StepCallback = std::function<void(std::string_view what)>;

// Temporary files made while replacing a file begin with this, so that an interrupted run's
// leftovers can be recognised and removed.
inline constexpr std::string_view kTempPrefix = ".bw-deepclean-";

// A regular file, not a link to one.
bool IsRegularFile(const std::string& path);

// Replaces `target` with the content of `source` (a regular file; links are refused): the bytes
// go to a temporary file beside the target, which is flushed and renamed over it, so a crash
// leaves the old or the new file. `step` is called before the copy and again before the rename.
bool ReplaceFileFrom(const std::string& source, const std::string& target,
                     const StepCallback& step = {});

// Whether two regular files hold the same bytes.
bool SameContent(const std::string& a, const std::string& b);

}  // namespace bw::configure
