// The window program.

#include "app/program_network.h"
#include "ui/main_window/app_run.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *Usage = R"(Usage: sonquarry [QT-OPTION]...
Finds the music files shared on the SMB network (Windows and Samba shares) and
lists them in a window, to play, copy or export.

  -h, --help       show this text
  --version        show the version

Qt's own options (-platform NAME, -style NAME, ...) are accepted as well.

Files: the list of found files and the scan log in ~/.local/share/sonquarry/,
the settings in ~/.config/sonquarry/, the playlist that Play hands to the
player in ~/.cache/sonquarry/ (the XDG_*_HOME variables move them).

The headless scanner is sonquarry-scan; see sonquarry-scan --help.
)";

} // namespace

int main(int argc, char **argv) {
  // Answered before Qt starts: these need no display.
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("sonquarry %s\n", SONQUARRY_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("Sonquarry");
  QApplication::setApplicationVersion(SONQUARRY_VERSION);
  // Ties the window to the installed desktop entry (its icon and name on Wayland).
  QGuiApplication::setDesktopFileName(SONQUARRY_APP_ID);
  QApplication::setWindowIcon(QIcon::fromTheme(SONQUARRY_APP_ID, QIcon(":/icons/sonquarry.svg")));
  return sonquarry::RunMainWindow(sonquarry::MakeWindowNetwork());
}
