// korvademo: a small desktop window that selects a drive or an image file, formats and
// mounts it, takes files and folders dropped onto it and browses the volume.
//
//   korvademo [--aspi MODULE]
//
// --aspi names the ASPI-style module to load when no optical drive is reachable through
// pass-through (for example libkorva_vdrive.so with KORVA_VDRIVE set).
#include <QApplication>
#include <QFont>
#include <QFontDatabase>

#include "Forms.h"

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Demo (Full)"));
  QApplication::setApplicationDisplayName(QStringLiteral("Demo (Full)"));

  QByteArray aspi;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("--aspi") && i + 1 < args.size())
      aspi = args[++i].toLocal8Bit();
    else if (args[i].startsWith(QStringLiteral("--aspi=")))
      aspi = args[i].mid(7).toLocal8Bit();
  }

  QFont font(QFontDatabase::hasFamily(QStringLiteral("Tahoma")) ? QStringLiteral("Tahoma")
                                                                : QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  QApplication::setFont(font);

  TfrmMain frmMain(aspi);
  frmMain.show();
  return app.exec();
}
