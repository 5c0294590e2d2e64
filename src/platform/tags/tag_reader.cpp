#include "platform/tags/tag_reader.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include <taglib/asffile.h>
#include <taglib/audioproperties.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tag.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include "platform/tags/tag_stream.h"

namespace sonquarry::tags {

namespace {

enum class TFormat { None, Mpeg, Asf, Flac, Ogg, Mp4 };

TFormat FormatOf(const std::string &Name) {
  const auto Dot = Name.find_last_of('.');
  if (Dot == std::string::npos || Name.find_first_of("\\/", Dot) != std::string::npos)
    return TFormat::None;
  std::string Ext = Name.substr(Dot + 1);
  std::transform(Ext.begin(), Ext.end(), Ext.begin(),
                 [](unsigned char C) { return char(std::tolower(C)); });
  if (Ext == "mp3" || Ext == "mp2" || Ext == "mpa") return TFormat::Mpeg;
  if (Ext == "wma" || Ext == "asf") return TFormat::Asf;
  if (Ext == "flac") return TFormat::Flac;
  if (Ext == "ogg" || Ext == "oga" || Ext == "opus") return TFormat::Ogg;
  if (Ext == "m4a" || Ext == "m4b" || Ext == "mp4") return TFormat::Mp4;
  return TFormat::None;
}

std::string Text(const TagLib::String &S) {
  std::string Out = S.to8Bit(true);
  // Trailing blanks and NULs of fixed-width fields (ID3v1) say nothing.
  while (!Out.empty() && (Out.back() == ' ' || Out.back() == '\0')) Out.pop_back();
  return Out;
}

// The year of a date as the tag writes it ("2003", "2003-05-01", "2003-05-01T10:00:00Z"): its
// first four digits in a row; 0 without them.
int YearOf(const TagLib::String &Date) {
  const std::string D = Date.to8Bit(true);
  for (std::size_t I = 0; I + 4 <= D.size(); ++I)
    if (std::all_of(D.begin() + long(I), D.begin() + long(I) + 4,
                    [](unsigned char C) { return std::isdigit(C) != 0; }))
      return std::stoi(D.substr(I, 4));
  return 0;
}

int XiphYear(const TagLib::Ogg::XiphComment *X) {
  if (!X) return 0;
  const auto &Fields = X->fieldListMap();
  for (const char *Key : {"DATE", "YEAR"})
    if (const auto It = Fields.find(Key); It != Fields.end() && !It->second.isEmpty())
      return YearOf(It->second.front());
  return 0;
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
  } else if (Format == TFormat::Asf) {
    TagLib::ASF::File F(&S, true, Style);
    Take(F, R);
  } else if (Format == TFormat::Flac) {
    S.PlanFlac();
    TagLib::FLAC::File F(&S, TagLib::ID3v2::FrameFactory::instance(), true, Style);
    Take(F, R);
    if (R.Ok && F.hasXiphComment()) {
      if (const int Year = XiphYear(F.xiphComment())) R.Tags.Year = Year;
    }
  } else if (Format == TFormat::Mp4) {
    S.PlanMp4();
    TagLib::MP4::File F(&S, true, Style);
    Take(F, R);
    if (R.Ok && F.tag() && F.tag()->contains("\251day"))
      R.Tags.Year = YearOf(F.tag()->item("\251day").toStringList().toString());
  } else if (S.PlanOgg() == TSparseStream::TOggCodec::Opus) {
    TagLib::Ogg::Opus::File F(&S, true, Style);
    Take(F, R);
    if (R.Ok) R.Tags.Year = XiphYear(F.tag());
  } else {
    // Vorbis, or an Ogg file of another codec, which TagLib refuses.
    TagLib::Ogg::Vorbis::File F(&S, true, Style);
    Take(F, R);
    if (R.Ok) R.Tags.Year = XiphYear(F.tag());
  }
  // TagLib takes what it got of a comment or atom list cut short by the budget for all there is:
  // such tags are unknown, not empty, and not kept in the cache as known.
  if (Format != TFormat::Mpeg && Format != TFormat::Asf && S.Exhausted()) {
    R.Ok = false;
    R.Tags = {};
  }
  R.BytesRead = S.BytesFetched();
  return R;
}

} // namespace sonquarry::tags
