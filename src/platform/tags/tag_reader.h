#pragma once
// What a music file's tags say, read with TagLib through a range source.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tags/tag_source.h"

namespace sonquarry::tags {

using TTags = net::MusicTags;
using TTagResult = net::TagReading;

// Whether Name's extension is one whose tags are read, in any case: ".mp3", ".mp2", ".wma",
// ".flac", ".ogg", ".opus", ".m4a" (and their kin ".mpa", ".asf", ".oga", ".m4b", ".mp4").
bool HasTagFormat(const std::string &Name);

// The tags of the file Source holds; Name (a path or a file name) gives its format.
TTagResult ReadTags(IRangeSource &Source, const std::string &Name, const TTagLimits &Limits = {});

} // namespace sonquarry::tags
