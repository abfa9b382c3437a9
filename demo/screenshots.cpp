// korvademo_screenshots: runs the demo's windows on a fresh image with a small tree imported
// and saves a picture of each window, for the documentation.
//
//   korvademo_screenshots OUTPUT_DIR [ASPI_MODULE]
//
// With an ASPI module (such as libkorva_vdrive.so and KORVA_VDRIVE set) a drive is selected
// after the image is mounted, so that the device dialogs show a drive's answers.
#include <QApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontDatabase>
#include <QMenu>
#include <QMimeData>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <functional>

#include "Forms.h"

namespace {

QString gOut;
int gFailures = 0;

void Wait(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool WaitIdle(TfrmMain &main) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 60000) {
    Wait(20);
    if (main.RunningOperations() == 0 && !main.frmStatus->isVisible() && main.isEnabled())
      return true;
  }
  return false;
}

void Save(QWidget *w, const char *name) {
  Wait(150);
  const QString path = QDir(gOut).filePath(QLatin1String(name));
  if (!w->grab().save(path)) {
    std::fprintf(stderr, "could not save %s\n", qPrintable(path));
    ++gFailures;
  } else {
    std::printf("%s\n", qPrintable(path));
  }
}

// Handles the next modal dialog: takes its picture (when named), lets `prepare` set its
// controls, and closes it as a user would.
void OnNextModal(const char *picture, std::function<void(QWidget *)> prepare = {}) {
  auto *timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, picture, prepare] {
    QWidget *w = QApplication::activeModalWidget();
    if (!w || !w->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    if (prepare) prepare(w);
    if (picture) Save(w, picture);
    w->close();
  });
  timer->start(20);
}

void WriteFile(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(data);
}

} // namespace

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvademo_screenshots OUTPUT_DIR [ASPI_MODULE]\n");
    return 2;
  }
  gOut = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  QDir().mkpath(gOut);
  // Absolute, since the pictures are taken in a scratch working directory.
  const QByteArray aspi =
      argc > 2 ? QFile::encodeName(QFileInfo(QFile::decodeName(argv[2])).absoluteFilePath())
               : QByteArray();

  QFont font(QFontDatabase::hasFamily(QStringLiteral("Tahoma")) ? QStringLiteral("Tahoma")
                                                                : QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  QApplication::setFont(font);

  QTemporaryDir work;
  QDir::setCurrent(work.path());
  const QString src = work.filePath(QStringLiteral("src"));
  WriteFile(src + "/Documents/readme.txt", "Korva keeps this file on the volume.\n");
  WriteFile(src + "/Documents/notes.md", "# Notes\n");
  WriteFile(src + "/Pictures/holiday/beach.png", QByteArray(3000, 'p'));
  WriteFile(src + "/Pictures/cover.jpg", QByteArray(5000, 'j'));
  QDir().mkpath(src + "/Empty");
  WriteFile(src + "/setup.cfg", "[korva]\n");

  TfrmMain main(aspi);
  // Start-up: take the selection dialog's picture and mount the default image.
  OnNextModal("selection_dialog.png", [](QWidget *w) {
    auto *sel = static_cast<TfrmDeviceImageFileSelection *>(w);
    sel->rdbImageFile->setChecked(true);
  });
  main.show();
  Wait(300);
  if (!WaitIdle(main)) return 1;

  QEventLoop loop;
  QObject::connect(&main, &TfrmMain::formatFinished, &loop, &QEventLoop::quit);
  main.mnuiFormatVolumeQuick->trigger();
  loop.exec();
  if (!WaitIdle(main)) return 1;

  auto *mime = new QMimeData;
  mime->setUrls({QUrl::fromLocalFile(src + "/Documents"), QUrl::fromLocalFile(src + "/Pictures"),
                 QUrl::fromLocalFile(src + "/Empty"), QUrl::fromLocalFile(src + "/setup.cfg")});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&main, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&main, &drop);
  if (!WaitIdle(main)) return 1;
  delete mime;

  if (!aspi.isEmpty() && main.korva.GetDeviceCount() > 0) {
    OnNextModal(nullptr);
    main.mnuiSelectDevice->trigger();
  }

  Save(&main, "main_window.png");

  main.pmnuOptions->popup(main.mapToGlobal(QPoint(20, 20)));
  Save(main.pmnuOptions, "context_menu.png");
  main.pmnuOptions->hide();

  OnNextModal("device_information.png");
  main.frmDeviceInfo->exec();
  OnNextModal("device_speed.png", [](QWidget *w) {
    auto *dialog = static_cast<TfrmDeviceSpeed *>(w);
    dialog->cbSpeed->setCurrentIndex(dialog->cbSpeed->count() - 1);
    dialog->cbSpeed->showPopup();
    Save(dialog->cbSpeed->view()->window(), "device_speed_list.png");
    dialog->cbSpeed->hidePopup();
  });
  main.frmDeviceSpeed->exec();
  OnNextModal("help.png");
  main.frmHelp->exec();

  main.frmStatus->SetStatus(QStringLiteral("Creating and Writing file:\r\\Documents\\readme.txt"));
  main.frmStatus->show();
  Save(main.frmStatus.get(), "status_window.png");
  main.frmStatus->close();

  TfrmUDFVolumeLayout &browser = *main.frmUDFVolumeLayout;
  browser.show();
  browser.Layout->expandAll();
  if (browser.Root()->childCount() > 0) browser.Layout->setCurrentItem(browser.Root()->child(0));
  Save(&browser, "volume_browser.png");
  browser.close();

  main.close();
  return gFailures == 0 ? 0 : 1;
}
