// The window program.

#include "ui/app_run.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Sonquarry");
  QApplication::setWindowIcon(QIcon(":/icons/sonquarry.svg"));
  return sonquarry::RunMainWindow();
}
