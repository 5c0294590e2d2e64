#include "ui/playlist.h"

#include "paths/wnet_tree.h"
#include "platform/exception.h"
#include "platform/folders.h"
#include "platform/gui/message_box.h"
#include "platform/smb/wire/smb_url.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStringList>
#include <QUrl>
#include <cstdio>

namespace sonquarry {
namespace {

bool DesktopOpen(const std::string &File, const std::string &Command) {
  const QString file = QString::fromStdString(File);
  if (Command.empty()) return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
  QStringList args = QProcess::splitCommand(QString::fromStdString(Command));
  if (args.isEmpty()) return false;
  bool placed = false;
  for (QString &a : args)
    if (a.contains(QLatin1String("%f"))) {
      a.replace(QLatin1String("%f"), file);
      placed = true;
    }
  if (!placed) args << file;
  const QString program = args.takeFirst();
  return QProcess::startDetached(program, args);
}

TPlayListOpener &Opener() {
  static TPlayListOpener opener = DesktopOpen;
  return opener;
}

} // namespace

std::string PlayListLine(TWNetTree &Tree, int Index) {
  // Percent-encoding also turns a CR or LF of a crafted name into %0D / %0A: one row, one line.
  return smb::wire::UncToSmbUrl(Tree.GetDirectory(Index) + std::string(Tree.File(Index).Name()));
}

bool WritePlayList(const std::string &FileName, TWNetTree &Tree, const TRowRanges &Rows) {
  if (Rows.empty()) return false;
  std::FILE *f = std::fopen(FileName.c_str(), "wb");
  if (!f) {
    ShowErrorMessage(FormatMessage("Can not write to file %s.", FileName));
    return false;
  }
  std::string line;
  for (const TRowRange &r : Rows)
    for (int i = r.First; i <= r.Last && i < Tree.Count(); ++i) {
      line = PlayListLine(Tree, i);
      line += "\r\n";
      std::fwrite(line.data(), 1, line.size(), f);
    }
  std::fclose(f);
  return true;
}

std::string TemporaryPlayListName() { return platform::GetCacheFolder() + "playlist.m3u"; }

bool OpenPlayList(const std::string &FileName, const std::string &PlayerCommand) {
  return Opener()(FileName, PlayerCommand);
}

std::string CannotPlayMessage() {
  return "Can not play files.\r\rThe playlist holds network paths (smb://). Players that open "
         "them: VLC with its Samba plugin (Debian: vlc, vlc-plugin-samba). mpv and ffmpeg as "
         "Debian builds them cannot. Name a player in Options (for example \"vlc %f\").";
}

TPlayListOpener SetPlayListOpener(TPlayListOpener AOpener) {
  TPlayListOpener previous = std::move(Opener());
  Opener() = AOpener ? std::move(AOpener) : TPlayListOpener(DesktopOpen);
  return previous;
}

} // namespace sonquarry
