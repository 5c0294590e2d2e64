#include "platform/tags/tag_reader.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include <taglib/asffile.h>
#include <taglib/audioproperties.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include "platform/tags/tag_stream.h"

namespace sonquarry::tags {

namespace {

enum class TFormat { None, Mpeg, Asf };

TFormat FormatOf(const std::string &Name) {
  const auto Dot = Name.find_last_of('.');
  if (Dot == std::string::npos || Name.find_first_of("\\/", Dot) != std::string::npos)
    return TFormat::None;
  std::string Ext = Name.substr(Dot + 1);
  std::transform(Ext.begin(), Ext.end(), Ext.begin(),
                 [](unsigned char C) { return char(std::tolower(C)); });
  if (Ext == "mp3" || Ext == "mp2" || Ext == "mpa") return TFormat::Mpeg;
  if (Ext == "wma" || Ext == "asf") return TFormat::Asf;
  return TFormat::None;
}

std::string Text(const TagLib::String &S) {
  std::string Out = S.to8Bit(true);
  // Trailing blanks and NULs of fixed-width fields (ID3v1) say nothing.
  while (!Out.empty() && (Out.back() == ' ' || Out.back() == '\0')) Out.pop_back();
  return Out;
}

void Take(TagLib::File &F, TTagResult &R) {
  R.Ok = F.isValid();
  if (!R.Ok) return;
  if (const TagLib::Tag *T = F.tag()) {
    R.Tags.Artist = Text(T->artist());
    R.Tags.Title = Text(T->title());
    R.Tags.Album = Text(T->album());
    R.Tags.Year = T->year() > 9999 ? 0 : int(T->year());
  }
  if (const TagLib::AudioProperties *P = F.audioProperties();
      P && (P->lengthInMilliseconds() > 0 || P->bitrate() > 0))
    R.Tags.Length = (P->lengthInMilliseconds() + 500) / 1000;
}

// Whether the ID3v2 tag and the first frame alone say all that is read.
bool Whole(TagLib::MPEG::File &F) {
  if (!F.isValid() || !F.hasID3v2Tag()) return false;
  const TagLib::Tag *T = F.ID3v2Tag();
  const auto *P = F.audioProperties();
  return T && P && P->xingHeader() && !T->artist().isEmpty() && !T->title().isEmpty() &&
         !T->album().isEmpty() && T->year() > 0;
}

} // namespace

bool HasTagFormat(const std::string &Name) { return FormatOf(Name) != TFormat::None; }

TTagResult ReadTags(IRangeSource &Source, const std::string &Name, const TTagLimits &Limits) {
  TTagResult R;
  const TFormat Format = FormatOf(Name);
  if (Format == TFormat::None || Source.Size() <= 0) return R;
  TSparseStream S(Source, Name, Limits);
  // Fast: lengths from the first frame's header (and its Xing or VBRI header), not a scan.
  const auto Style = TagLib::AudioProperties::Fast;
  if (Format == TFormat::Mpeg) {
    S.PlanId3v2();
    // First without the file's end: where the ID3v2 tag has every field, the tags at the end
    // (ID3v1, APE) lose to it, and where a Xing or VBRI header gives the length, the last frame
    // is not looked for; only other files cost the read of their end.
    S.HideTail(true);
    {
      TagLib::MPEG::File F(&S, TagLib::ID3v2::FrameFactory::instance(), true, Style);
      if (Whole(F)) {
        Take(F, R);
        R.BytesRead = S.BytesFetched();
        return R;
      }
    }
    S.HideTail(false);
    TagLib::MPEG::File F(&S, TagLib::ID3v2::FrameFactory::instance(), true, Style);
    Take(F, R);
  } else {
    TagLib::ASF::File F(&S, true, Style);
    Take(F, R);
  }
  R.BytesRead = S.BytesFetched();
  return R;
}

} // namespace sonquarry::tags
