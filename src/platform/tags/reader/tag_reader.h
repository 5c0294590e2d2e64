#pragma once
// What a music file's tags say, read with TagLib through a range source.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tags/reader/tag_source.h"

namespace sonquarry::tags {

using TTags = net::MusicTags;
using TTagResult = net::TagReading;

// Whether Name's extension is one whose tags are read (".mp3", ".mp2", ".wma", any case).
bool HasTagFormat(const std::string &Name);

// The ranges of a file of Size bytes that ReadTags reads first, to be fetched with its open: the
// head, and for MPEG the tail (ID3v1, APE footer, the last frames).
std::vector<net::FileRange> FirstRanges(const std::string &Name, int64_t Size);

// The tags of the file Source holds; Name (a path or a file name) gives its format.
TTagResult ReadTags(IRangeSource &Source, const std::string &Name, const TTagLimits &Limits = {});

} // namespace sonquarry::tags
