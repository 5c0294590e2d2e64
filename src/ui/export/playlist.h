#pragma once
// Playlists of the selected rows: one smb:// URL per row, because Linux players open those and not
// UNC paths; UTF-8, CR LF after every line.

#include "ui/list/row_ranges.h"

#include <functional>
#include <string>

namespace sonquarry {

class TWNetTree;
class TRowTags;

// The playlist line of row Index, without its line end.
std::string PlayListLine(TWNetTree &Tree, int Index);

// Writes one line per row of Rows, in row order, replacing FileName. False with nothing written
// when Rows is empty; false after "Can not write to file %s: reason." when the file cannot be
// written whole, the old file then kept. With Tags, an extended playlist: "#EXTM3U" first and an
// "#EXTINF:length,Artist - Title" line before each row whose tags are known.
bool WritePlayList(const std::string &FileName, TWNetTree &Tree, const TRowRanges &Rows,
                   const TRowTags *Tags = nullptr);

// The playlist handed to the player: "playlist.m3u" in the cache folder; "" when there is none.
// Rewritten at every Play, never deleted.
std::string TemporaryPlayListName();

// Why a player could not play, handed to the caller's report.
using TPlayFailed = std::function<void(const std::string &Why)>;

// Starts PlayerCommand on the playlist ("%f" in it is replaced by the file name, else the name is
// appended as the last argument) or, when it is empty, xdg-open. Failed is called when nothing
// could be started, and later when the player (or xdg-open, which finds none) exits with failure;
// a player still running when the program ends runs on.
void OpenPlayList(const std::string &FileName, const std::string &PlayerCommand,
                  TPlayFailed Failed);

// The message when a playlist could not be handed to a player: Why, and what to do about it.
std::string CannotPlayMessage(const std::string &Why);

// Replaces what OpenPlayList does (tests); an empty function restores it. Returns the previous.
using TPlayListOpener =
    std::function<void(const std::string &File, const std::string &Command, TPlayFailed Failed)>;
TPlayListOpener SetPlayListOpener(TPlayListOpener Opener);

} // namespace sonquarry
