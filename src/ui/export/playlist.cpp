#include "ui/export/playlist.h"

#include "paths/wnet_tree.h"
#include "platform/files/folders.h"
#include "platform/net/smb_url.h"
#include "platform/os/exception.h"
#include "ui/export/report.h"
#include "ui/list/row_tags.h"
#include "ui/services/message_box.h"

#include <QProcess>
#include <QStringList>
#include <memory>

namespace sonquarry {
namespace {

QString Quoted(const QString &Program) { return QLatin1Char('"') + Program + QLatin1Char('"'); }

// What the player wrote to its error output last: its own reason for failing.
constexpr qsizetype ErrorTailBytes = 4096;
constexpr int ErrorTailLines = 5;

QString LastLines(const QByteArray &Output) {
  QStringList lines;
  for (const QByteArray &l : Output.split('\n')) {
    const QString line = QString::fromUtf8(l).trimmed();
    if (!line.isEmpty()) lines << (line.size() > 200 ? line.left(200) + "..." : line);
  }
  if (lines.size() > ErrorTailLines) lines = lines.mid(lines.size() - ErrorTailLines);
  return lines.isEmpty() ? QString() : "\rIt wrote:\r" + lines.join('\r');
}

void StartPlayer(const std::string &File, const std::string &Command, TPlayFailed Failed) {
  const QString file = QString::fromStdString(File);
  QStringList args;
  if (Command.empty()) {
    args = {QStringLiteral("xdg-open"), file};
  } else {
    args = QProcess::splitCommand(QString::fromStdString(Command));
    if (args.isEmpty()) {
      Failed("The player command is empty.");
      return;
    }
    bool placed = false;
    for (QString &a : args)
      if (a.contains(QLatin1String("%f"))) {
        a.replace(QLatin1String("%f"), file);
        placed = true;
      }
    if (!placed) args << file;
  }
  // Not owned by any window: a player still running when the program ends is not killed with it.
  auto *p = new QProcess;
  p->setProgram(args.takeFirst());
  p->setArguments(args);
  p->setStandardInputFile(QProcess::nullDevice());
  p->setProcessChannelMode(QProcess::ForwardedOutputChannel);
  auto errors = std::make_shared<QByteArray>();
  QObject::connect(p, &QProcess::readyReadStandardError, p, [p, errors] {
    errors->append(p->readAllStandardError());
    if (errors->size() > ErrorTailBytes) errors->remove(0, errors->size() - ErrorTailBytes);
  });
  QObject::connect(p, &QProcess::errorOccurred, p, [p, Failed](QProcess::ProcessError E) {
    if (E != QProcess::FailedToStart) return; // the others end in finished()
    Failed(
        (Quoted(p->program()) + " could not be started: " + p->errorString() + ".").toStdString());
    p->deleteLater();
  });
  QObject::connect(
      p, &QProcess::finished, p, [p, Failed, errors](int Code, QProcess::ExitStatus Status) {
        errors->append(p->readAllStandardError());
        if (Status == QProcess::CrashExit)
          Failed((Quoted(p->program()) + " crashed." + LastLines(*errors)).toStdString());
        else if (Code != 0)
          Failed((Quoted(p->program()) + QString(" ended with exit status %1.").arg(Code) +
                  LastLines(*errors))
                     .toStdString());
        p->deleteLater();
      });
  p->start();
}

TPlayListOpener &Opener() {
  static TPlayListOpener opener = StartPlayer;
  return opener;
}

} // namespace

std::string PlayListLine(TWNetTree &Tree, int Index) {
  // Percent-encoding also turns a CR or LF of a crafted name into %0D / %0A: one row, one line.
  return net::UncToSmbUrl(Tree.GetDirectory(Index) + std::string(Tree.File(Index).Name()));
}

std::string ExtInfLine(const TRowTags &Tags, uint32_t Ref) {
  std::string artist(Tags.Text(Ref, tfArtist)), title(Tags.Text(Ref, tfTitle));
  // A line end in a tag would start a line of its own.
  for (std::string *s : {&artist, &title})
    for (char &c : *s)
      if (c == '\r' || c == '\n') c = ' ';
  const std::string name = artist.empty() ? title : title.empty() ? artist : artist + " - " + title;
  return "#EXTINF:" + std::to_string(Tags.Length(Ref)) + "," + name + "\r\n";
}

bool WritePlayList(const std::string &FileName, TWNetTree &Tree, const TRowRanges &Rows,
                   const TRowTags *Tags) {
  if (Rows.empty()) return false;
  // Extended only when some row has tags to tell: a plain list stays as it always was.
  bool extended = false;
  for (const TRowRange &r : Rows)
    for (int i = r.First; Tags && !extended && i <= r.Last && i < Tree.Count(); ++i)
      extended = Tags->Has(Tree.TagRef(i));
  if (!extended) Tags = nullptr;
  TReportFile out;
  bool written = out.Open(FileName);
  if (written && Tags) written = out.Write("#EXTM3U\r\n");
  std::string line;
  for (const TRowRange &r : Rows)
    for (int i = r.First; written && i <= r.Last && i < Tree.Count(); ++i) {
      line.clear();
      if (Tags && Tags->Has(Tree.TagRef(i))) line = ExtInfLine(*Tags, Tree.TagRef(i));
      line += PlayListLine(Tree, i);
      line += "\r\n";
      written = out.Write(line);
    }
  if (written && out.Close()) return true;
  ReportWriteError(FileName, out.Error()); // the old playlist stays
  return false;
}

std::string TemporaryPlayListName() {
  const std::string Dir = files::GetCacheFolder();
  return Dir.empty() ? std::string() : Dir + "playlist.m3u";
}

void OpenPlayList(const std::string &FileName, const std::string &PlayerCommand,
                  TPlayFailed Failed) {
  Opener()(FileName, PlayerCommand, std::move(Failed));
}

std::string CannotPlayMessage(const std::string &Why) {
  return "Can not play files.\r\r" + Why +
         "\r\rThe playlist holds network paths (smb://). Players that open them: VLC with its "
         "Samba plugin (Debian: install the packages vlc and vlc-plugin-samba). mpv and ffmpeg as "
         "Debian builds them cannot. Or name a player in Options (for example \"vlc %f\").";
}

TPlayListOpener SetPlayListOpener(TPlayListOpener AOpener) {
  TPlayListOpener previous = std::move(Opener());
  Opener() = AOpener ? std::move(AOpener) : TPlayListOpener(StartPlayer);
  return previous;
}

} // namespace sonquarry
