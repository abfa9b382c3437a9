// The main window: a very small tool window that stays on top and is worked through its
// context menu, the operation thread, and the procedures of the volume operations.
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDirIterator>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "DemoText.h"
#include "Forms.h"
#include "GuiThread.h"

namespace {

// Volume file copies move this much per UDF_WriteFile, so that neither memory nor the 32-bit
// byte count of one call limits the size of a file.
constexpr size_t kCopyChunk = 4u << 20;
// Extraction copies through a buffer of this size.
constexpr uint32_t kExtractBuffer = 65536;
// Directory listings deeper than this can only come from a damaged volume whose
// directories lead back to themselves.
constexpr int kMaxTreeDepth = 128;

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kAttributeNormal = 128;
constexpr uint32_t kAttributeDirectory = 16;

QByteArray U8(const QString &s) {
  return s.toUtf8();
}

QPixmap VolumePicture(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF disc(0.5, 0.5, size - 1.0, size - 1.0);
  QRadialGradient g(disc.center(), size / 2.0);
  g.setColorAt(0.0, QColor(0xf0, 0xf4, 0xff));
  g.setColorAt(1.0, QColor(0x88, 0x9c, 0xc8));
  p.setBrush(g);
  p.setPen(QPen(QColor(0x30, 0x3c, 0x60), 1));
  p.drawEllipse(disc);
  p.setBrush(Qt::white);
  const double hole = size / 5.0;
  p.drawEllipse(QRectF(size / 2.0 - hole / 2, size / 2.0 - hole / 2, hole, hole));
  return pm;
}

// Reads up to count bytes, retrying interrupted and short reads; -1 on error (errno set).
ssize_t ReadFully(int fd, char *buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFully(int fd, const char *buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

// ---- TUDFOperationThread --------------------------------------------------------------------

void TUDFOperationThread::run() {
  if (FKind < FProcedures.size() && FProcedures[FKind]) FProcedures[FKind]();
}

// ---- TfrmMain: creation and start-up --------------------------------------------------------

TfrmMain::TfrmMain(const QByteArray &aspiLibrary, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      FAspiLibrary(aspiLibrary) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Demo (Full)"));
  korva.SetUDFMode(umRewritable);
  korva.OnFormatDone = [this](TKorva *, bool failed) { OnGui([&] { korvaFormatDone(failed); }); };
  korva.OnEraseDone = [this](TKorva *, bool failed) { OnGui([&] { korvaEraseDone(failed); }); };

  // The tree's image list: closed folder, open folder, then the volume picture.
  QFileIconProvider icons;
  FTreeImages.append(icons.icon(QFileIconProvider::Folder));
  FFolderIcon = 0;
  FTreeImages.append(style()->standardIcon(QStyle::SP_DirOpenIcon));
  FOpenFolderIcon = 1;
  FTreeImages.append(QIcon(VolumePicture(16)));
  FRootIcon = 2;

  lblMountStatus = new QLabel(QStringLiteral("Volume Dismounted."), this);
  lblMountStatus->setObjectName(QStringLiteral("lblMountStatus"));
  lblMountStatus->setGeometry(2, 4, 100, 16);
  lblUDFCompatibility = new QLabel(QStringLiteral("UDF Compatible"), this);
  lblUDFCompatibility->setObjectName(QStringLiteral("lblUDFCompatibility"));
  lblUDFCompatibility->setAlignment(Qt::AlignCenter);
  lblUDFCompatibility->setAutoFillBackground(true);
  QPalette pal = lblUDFCompatibility->palette();
  pal.setColor(QPalette::Window, Qt::black);
  pal.setColor(QPalette::WindowText, Qt::white);
  lblUDFCompatibility->setPalette(pal);
  QFont bold = lblUDFCompatibility->font();
  bold.setBold(true);
  lblUDFCompatibility->setFont(bold);
  lblUDFCompatibility->setGeometry(0, 27, 104, 16);
  lblUDFCompatibility->hide();
  for (QLabel *l : {lblMountStatus, lblUDFCompatibility})
    l->installEventFilter(this);
  setFixedSize(104, 43);

  pmnuOptions = new QMenu(this);
  auto item = [this](const char *name, const char *caption, bool enabled, auto slot) {
    QAction *a = pmnuOptions->addAction(QLatin1String(caption));
    a->setObjectName(QLatin1String(name));
    a->setEnabled(enabled);
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  mnuiSelectDevice =
      item("mnuiSelectDevice", "Select Device ...", true, [this] { SelectDeviceCommand(); });
  pmnuOptions->addSeparator();
  mnuiDeviceInfo =
      item("mnuiDeviceInfo", "Device Information", false, [this] { DeviceInfoCommand(); });
  mnuiLockMedium = item("mnuiLockMedium", "Lock Medium", false, [this] { LockMediumCommand(); });
  mnuiUnlockMedium =
      item("mnuiUnlockMedium", "Unlock Medium", false, [this] { UnlockMediumCommand(); });
  mnuiEjectMedium =
      item("mnuiEjectMedium", "Eject Medium", false, [this] { EjectMediumCommand(); });
  mnuiLoadMedium = item("mnuiLoadMedium", "Load Medium", false, [this] { LoadMediumCommand(); });
  mnuiEraseDiscQuick =
      item("mnuiEraseDiscQuick", "Erase Disc (Quick)", false, [this] { EraseDiscCommand(0); });
  mnuiEraseDiscFull =
      item("mnuiEraseDiscFull", "Erase Disc (Full)", false, [this] { EraseDiscCommand(1); });
  mnuiSetDeviceSpeed =
      item("mnuiSetDeviceSpeed", "Set Device Speed...", false, [this] { SetDeviceSpeedCommand(); });
  pmnuOptions->addSeparator();
  mnuiOpenUDFVolumeLayout = item("mnuiOpenUDFVolumeLayout", "Open UDF Volume Layout", false,
                                 [this] { OpenUDFVolumeLayoutCommand(); });
  pmnuOptions->setDefaultAction(mnuiOpenUDFVolumeLayout);
  mnuiMountVolume =
      item("mnuiMountVolume", "Mount Volume", false, [this] { MountVolumeCommand(); });
  mnuiMountImage = item("mnuiMountImage", "Mount Image", true, [this] { MountImageCommand(); });
  mnuiDismountVolume =
      item("mnuiDismountVolume", "Dismount Volume", false, [this] { DismountVolumeCommand(); });
  pmnuOptions->addSeparator();
  mnuiFormatVolumeQuick = item("mnuiFormatVolumeQuick", "Format Volume (Quick)", false,
                               [this] { FormatVolumeCommand(0); });
  mnuiFormatVolumeFull = item("mnuiFormatVolumeFull", "Format Volume (Full)", false,
                              [this] { FormatVolumeCommand(1); });
  mnuiRepairVolume =
      item("mnuiRepairVolume", "Repair Volume", false, [this] { RepairVolumeCommand(); });
  pmnuOptions->addSeparator();
  mnuiComponentVersion = item("mnuiComponentVersion", "Component Version", true,
                              [this] { ComponentVersionCommand(); });
  mnuiHelp = item("mnuiHelp", "Help", true, [this] { HelpCommand(); });

  tmrFormatVolume = new QTimer(this);
  tmrFormatVolume->setInterval(500);
  connect(tmrFormatVolume, &QTimer::timeout, this, [this] { FormatTimerTick(); });

  setAcceptDrops(false);

  frmDeviceImageFileSelection = std::make_unique<TfrmDeviceImageFileSelection>();
  frmDeviceInfo = std::make_unique<TfrmDeviceInfo>(korva);
  frmDeviceSpeed = std::make_unique<TfrmDeviceSpeed>(korva);
  frmStatus = std::make_unique<TfrmStatus>();
  frmUDFVolumeLayout = std::make_unique<TfrmUDFVolumeLayout>(*this);
  frmHelp = std::make_unique<TfrmHelp>();
}

TfrmMain::~TfrmMain() {
  // Operations still running use the windows and the component, and a running format or
  // erase reports through the GUI thread: let them end before the component goes.
  while (FRunning.load() > 0 || !frmStatus->FCanClose)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  tmrFormatVolume->stop();
}

int TfrmMain::FileIconIndex(const QString &name) {
  const QString suffix = QFileInfo(name).suffix().toLower();
  auto it = FFileIcons.constFind(suffix);
  if (it != FFileIcons.constEnd()) return it.value();
  // Looked up by name alone, as for an ordinary file of that type.
  QFileIconProvider icons;
  QIcon icon = icons.icon(QFileInfo(QDir::temp().filePath(name)));
  if (icon.isNull()) icon = icons.icon(QFileIconProvider::File);
  FTreeImages.append(icon);
  const int index = int(FTreeImages.size()) - 1;
  FFileIcons.insert(suffix, index);
  return index;
}

void TfrmMain::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (FStarted) return;
  FStarted = true;
  if (QScreen *screen = this->screen())
    move(screen->availableGeometry().center() - rect().center());
  // Start-up runs once the window is on the screen.
  QTimer::singleShot(0, this, [this] { Startup(); });
}

void TfrmMain::Startup() {
  TfrmDeviceImageFileSelection &sel = *frmDeviceImageFileSelection;
  korva.InitializeASPI(false, FAspiLibrary.constData(), "");
  const int n = korva.GetDeviceCount();
  for (int i = 0; i < n; ++i)
    sel.cbDrives->addItem(QString::fromUtf8(korva.GetDeviceName(static_cast<uint8_t>(i))));
  if (n != 0) {
    sel.cbDrives->setCurrentIndex(0);
  } else {
    sel.rdbDrive->setEnabled(false);
    sel.rdbImageFile->setChecked(true);
  }
  sel.setWindowTitle(QStringLiteral("Mount Logical Volume"));
  sel.exec();
  if (sel.rdbDrive->isChecked()) {
    FDeviceSelected =
        korva.SelectDevice(static_cast<uint8_t>(std::max(0, sel.cbDrives->currentIndex()))) !=
        KFALSE;
    if (FDeviceSelected) {
      UpdateDeviceSelected(true);
      StartOperation(okMountVolume);
    } else {
      MessageBox(QStringLiteral("Device could not be selected."), QStringLiteral("Error"),
                 QMessageBox::Critical);
    }
  } else if (!sel.edtImageFile->text().isEmpty()) {
    StartOperation(okMountImage);
  }
}

// ---- Messages, status and state -------------------------------------------------------------

void TfrmMain::MessageBox(const QString &text, const QString &caption, QMessageBox::Icon icon) {
  OnGui([&] {
    // No parent: the main window is often disabled while an operation reports.
    QMessageBox box(icon, caption, QString(text).replace(QLatin1Char('\r'), QLatin1Char('\n')),
                    QMessageBox::Ok);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    box.setProperty("korvaText", text);
    box.exec();
  });
}

bool TfrmMain::Confirm(const QString &text, const QString &caption) {
  return OnGuiValue([&] {
    QMessageBox box(QMessageBox::Question, caption,
                    QString(text).replace(QLatin1Char('\r'), QLatin1Char('\n')),
                    QMessageBox::Yes | QMessageBox::No);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    box.setDefaultButton(QMessageBox::No);
    box.setProperty("korvaText", text);
    return box.exec() == QMessageBox::Yes;
  });
}

void TfrmMain::ShowLastError() {
  QString text = QStringLiteral("Operation Failed.");
  if (korva.UDF_GetLastErrorNumber() != 0) {
    if (const char *d = korva.UDF_GetLastErrorDescription()) text = QString::fromUtf8(d);
  }
  MessageBox(text, QStringLiteral("Error"), QMessageBox::Critical);
}

void TfrmMain::ShowLocalError(const QString &what, const QString &path, int osError) {
  MessageBox(what + QStringLiteral(":\r") + path + QStringLiteral("\r") +
                 QString::fromLocal8Bit(std::strerror(osError)),
             QStringLiteral("Error"), QMessageBox::Critical);
}

void TfrmMain::SetStatus(const QString &text) {
  OnGui([&] { frmStatus->SetStatus(text); });
}

void TfrmMain::BeginStatus(const QString &text, bool disableMain, bool disableBrowser) {
  OnGui([&] {
    frmStatus->SetStatus(text);
    frmStatus->FCanClose = false;
    if (disableMain) setEnabled(false);
    if (disableBrowser) frmUDFVolumeLayout->setEnabled(false);
    frmStatus->show();
  });
}

void TfrmMain::EndStatus(bool enableMain, bool enableBrowser) {
  OnGui([&] {
    frmStatus->FCanClose = true;
    frmStatus->close();
    if (enableMain) setEnabled(true);
    if (enableBrowser) frmUDFVolumeLayout->setEnabled(true);
  });
}

void TfrmMain::UpdateDeviceSelected(bool selected) {
  OnGui([&] {
    mnuiSelectDevice->setText(selected ? frmDeviceImageFileSelection->cbDrives->currentText()
                                       : QStringLiteral("Select Device ..."));
    for (QAction *a : {mnuiDeviceInfo, mnuiLockMedium, mnuiUnlockMedium, mnuiEjectMedium,
                       mnuiLoadMedium, mnuiEraseDiscQuick, mnuiEraseDiscFull, mnuiSetDeviceSpeed})
      a->setEnabled(selected);
    if (!FImageMounted) mnuiMountVolume->setEnabled(selected);
  });
}

void TfrmMain::UpdateMountState(bool mounted, bool device, bool compatible) {
  OnGui([&] {
    const TfrmDeviceImageFileSelection &sel = *frmDeviceImageFileSelection;
    if (!mounted) {
      lblMountStatus->setText(QStringLiteral("Volume Dismounted."));
      lblMountStatus->setToolTip(QString());
    } else if (device) {
      const QString entry = sel.cbDrives->currentText();
      lblMountStatus->setText(QString(DriveLetterOfEntry(entry)) + QStringLiteral(": Mounted."));
      lblMountStatus->setToolTip(entry);
    } else {
      lblMountStatus->setText(QStringLiteral("Image Mounted."));
      lblMountStatus->setToolTip(sel.edtImageFile->text());
    }
    if (device) {
      for (QAction *a : {mnuiSelectDevice, mnuiLockMedium, mnuiUnlockMedium, mnuiEjectMedium,
                         mnuiLoadMedium, mnuiEraseDiscQuick, mnuiEraseDiscFull, mnuiMountVolume})
        a->setEnabled(!mounted);
    } else if (mounted) {
      mnuiMountVolume->setEnabled(false);
    } else if (FDeviceSelected) {
      mnuiMountVolume->setEnabled(true);
    }
    mnuiMountImage->setEnabled(!mounted);
    mnuiDismountVolume->setEnabled(mounted);
    mnuiFormatVolumeQuick->setEnabled(mounted);
    mnuiFormatVolumeFull->setEnabled(mounted);
    if (!mounted || compatible) mnuiRepairVolume->setEnabled(false);
  });
  UpdateCompatibility(compatible);
}

void TfrmMain::UpdateCompatibility(bool compatible) {
  OnGui([&] {
    if (frmUDFVolumeLayout->isVisible()) {
      if (compatible)
        frmUDFVolumeLayout->RefreshStatistics();
      else
        frmUDFVolumeLayout->close();
    }
    lblUDFCompatibility->setVisible(compatible);
    mnuiOpenUDFVolumeLayout->setEnabled(compatible);
    setAcceptDrops(compatible);
  });
}

// ---- Operation thread -----------------------------------------------------------------------

void TfrmMain::StartOperation(uint8_t kind) {
  auto *thread = new TUDFOperationThread(kind);
  static constexpr void (TfrmMain::*procedures[8])() = {
      &TfrmMain::DoMountImage,      &TfrmMain::DoMountVolume, &TfrmMain::DoDismountVolume,
      &TfrmMain::DoAddDroppedItems, &TfrmMain::DoExtractFile, &TfrmMain::DoDeleteFile,
      &TfrmMain::DoRemoveDirectory, &TfrmMain::DoRepairVolume};
  if (kind < 8) thread->FProcedures[kind] = [this, p = procedures[kind]] { (this->*p)(); };
  ++FRunning;
  connect(thread, &QThread::finished, this, [this, thread, kind] {
    thread->deleteLater();
    --FRunning;
    emit operationFinished(kind);
  });
  thread->start();
}

// ---- Menu commands --------------------------------------------------------------------------

void TfrmMain::contextMenuEvent(QContextMenuEvent *event) {
  pmnuOptions->exec(event->globalPos());
}

bool TfrmMain::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::MouseButtonDblClick &&
      (watched == lblMountStatus || watched == lblUDFCompatibility)) {
    mouseDoubleClickEvent(static_cast<QMouseEvent *>(event));
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmMain::mouseDoubleClickEvent(QMouseEvent *) {
  if (mnuiOpenUDFVolumeLayout->isEnabled() && !frmUDFVolumeLayout->isVisible())
    frmUDFVolumeLayout->show();
}

void TfrmMain::SelectDeviceCommand() {
  if (korva.GetDeviceCount() == 0) {
    MessageBox(QStringLiteral("No device is present on system."), QStringLiteral("Error"),
               QMessageBox::Critical);
    return;
  }
  TfrmDeviceImageFileSelection &sel = *frmDeviceImageFileSelection;
  sel.rdbDrive->setEnabled(true);
  sel.rdbImageFile->setEnabled(false);
  sel.rdbDrive->setChecked(true);
  sel.setWindowTitle(QStringLiteral("Select Device"));
  sel.exec();
  const QChar letter = DriveLetterOfEntry(sel.cbDrives->currentText());
  FDeviceSelected = korva.SelectDeviceByLetter(letter.toLatin1()) != KFALSE;
  UpdateDeviceSelected(FDeviceSelected);
  if (!FDeviceSelected)
    MessageBox(QStringLiteral("Device could not be selected."), QStringLiteral("Error"),
               QMessageBox::Critical);
}

void TfrmMain::DeviceInfoCommand() {
  frmDeviceInfo->exec();
}

void TfrmMain::LockMediumCommand() {
  frmUDFVolumeLayout->setEnabled(false);
  if (korva.LockMedium())
    MessageBox(QStringLiteral("Medium Locked."), QStringLiteral("Component Information"),
               QMessageBox::Information);
  else
    ShowLastError();
  frmUDFVolumeLayout->setEnabled(true);
}

void TfrmMain::UnlockMediumCommand() {
  frmUDFVolumeLayout->setEnabled(false);
  if (korva.UnlockMedium())
    MessageBox(QStringLiteral("Medium Unlocked."), QStringLiteral("Component Information"),
               QMessageBox::Information);
  else
    ShowLastError();
  frmUDFVolumeLayout->setEnabled(true);
}

void TfrmMain::EjectMediumCommand() {
  if (korva.EjectMedium(true)) return;
  frmUDFVolumeLayout->setEnabled(false);
  ShowLastError();
  frmUDFVolumeLayout->setEnabled(true);
}

void TfrmMain::LoadMediumCommand() {
  if (korva.LoadMedium(true)) return;
  frmUDFVolumeLayout->setEnabled(false);
  ShowLastError();
  frmUDFVolumeLayout->setEnabled(true);
}

void TfrmMain::EraseDiscCommand(int tag) {
  BeginStatus(QStringLiteral("Erasing Disc ..."), true, true);
  if (korva.EraseDisc(tag == 0)) return;
  ShowLastError();
  EndStatus(true, true);
}

void TfrmMain::SetDeviceSpeedCommand() {
  frmDeviceSpeed->exec();
  const int multiple = SpeedMultipleFromEntry(frmDeviceSpeed->cbSpeed->currentText());
  const int speed = std::min(SpeedForMultiple(multiple), 0xFFFF);
  korva.SetDeviceSpeed(static_cast<uint16_t>(speed), static_cast<uint16_t>(speed));
}

void TfrmMain::OpenUDFVolumeLayoutCommand() {
  frmUDFVolumeLayout->exec();
}

void TfrmMain::MountVolumeCommand() {
  StartOperation(okMountVolume);
}

void TfrmMain::MountImageCommand() {
  TfrmDeviceImageFileSelection &sel = *frmDeviceImageFileSelection;
  sel.rdbDrive->setEnabled(false);
  sel.rdbImageFile->setChecked(true);
  sel.setWindowTitle(QStringLiteral("Mount Image"));
  sel.exec();
  if (!sel.edtImageFile->text().isEmpty()) StartOperation(okMountImage);
}

void TfrmMain::DismountVolumeCommand() {
  frmUDFVolumeLayout->setEnabled(false);
  StartOperation(okDismountVolume);
}

void TfrmMain::FormatVolumeCommand(int tag) {
  BeginStatus(QStringLiteral("Formatting Volume ..."), true, true);
  if (korva.UDF_FormatVolume("Quorrelstane", tag == 0 ? KTRUE : KFALSE)) {
    tmrFormatVolume->start();
    return;
  }
  ShowLastError();
  EndStatus(true, true);
}

void TfrmMain::FormatTimerTick() {
  const int percent = korva.UDF_GetPhysicalFormattingPercentage();
  frmStatus->SetStatus(FormatProgressText(percent));
  if (percent >= 100) tmrFormatVolume->stop();
}

void TfrmMain::korvaFormatDone(bool failed) {
  tmrFormatVolume->stop();
  if (failed)
    ShowLastError();
  else
    frmUDFVolumeLayout->ClearTree();
  UpdateCompatibility(!failed);
  EndStatus(true, true);
  emit formatFinished(failed);
}

void TfrmMain::korvaEraseDone(bool failed) {
  if (failed) ShowLastError();
  EndStatus(true, true);
  emit eraseFinished(failed);
}

void TfrmMain::ComponentVersionCommand() {
  frmUDFVolumeLayout->setEnabled(false);
  MessageBox(QString::fromStdString(korva.GetVersion()), QStringLiteral("Component Version"),
             QMessageBox::Information);
  frmUDFVolumeLayout->setEnabled(true);
}

void TfrmMain::HelpCommand() {
  frmHelp->exec();
}

void TfrmMain::closeEvent(QCloseEvent *event) {
  // Not while an operation runs: the status window stands for it.
  if (!frmStatus->FCanClose || FRunning.load() > 0) {
    event->ignore();
    return;
  }
  // The component dismounts a volume still mounted when it is destroyed with the window.
  korva.UnlockDrive();
  for (QWidget *w : std::initializer_list<QWidget *>{frmDeviceImageFileSelection.get(),
                                                     frmDeviceInfo.get(), frmDeviceSpeed.get(),
                                                     frmUDFVolumeLayout.get(), frmHelp.get()})
    w->hide();
  event->accept();
  QCoreApplication::quit();
}

// ---- Mount and dismount ---------------------------------------------------------------------

void TfrmMain::DoMountImage() {
  BeginStatus(QStringLiteral("Mounting Image ..."), true, false);
  QString path, sizeText;
  OnGui([&] {
    path = frmDeviceImageFileSelection->edtImageFile->text();
    sizeText = frmDeviceImageFileSelection->edtImageFileSize->text();
  });
  const int size = ImageSizeFromText(sizeText);
  const bool mounted = korva.UDF_MountImage(QFile::encodeName(LocalImagePath(path)).constData(),
                                            static_cast<uint16_t>(size)) != KFALSE;
  OnGui([&] { FImageMounted = mounted; });
  if (mounted) {
    const bool leftOpen = OfferRepairIfLeftOpen();
    const bool compatible = korva.UDF_GetVolumeCompatibility() != KFALSE;
    UpdateMountState(true, false, compatible);
    if (leftOpen) OnGui([&] { mnuiRepairVolume->setEnabled(true); });
    if (korva.UDF_GetVolumeCompatibility()) {
      SetStatus(QStringLiteral("Searching Directories and Files in UDF Volume ..."));
      FillVolumeTree(frmUDFVolumeLayout->Root(), QStringLiteral("\\"));
    }
  } else {
    ShowLastError();
  }
  EndStatus(true, false);
}

void TfrmMain::DoMountVolume() {
  BeginStatus(QStringLiteral("Mounting Volume ..."), true, false);
  if (korva.UDF_MountVolume()) {
    const bool leftOpen = OfferRepairIfLeftOpen();
    const bool compatible = korva.UDF_GetVolumeCompatibility() != KFALSE;
    UpdateMountState(true, true, compatible);
    if (leftOpen) OnGui([&] { mnuiRepairVolume->setEnabled(true); });
    if (korva.UDF_GetVolumeCompatibility()) {
      SetStatus(QStringLiteral("Searching Directories and Files in UDF Volume ..."));
      FillVolumeTree(frmUDFVolumeLayout->Root(), QStringLiteral("\\"));
    } else if (!leftOpen) {
      MessageBox(QStringLiteral("Logical Volume is not UDF-compatible.\rEither it is not correctly "
                                "formatted Or formatted by some other software with proprietary "
                                "settings."),
                 QStringLiteral("Error"), QMessageBox::Critical);
    }
  } else {
    ShowLastError();
  }
  EndStatus(true, false);
}

bool TfrmMain::OfferRepairIfLeftOpen() {
  if (!korva.Volume() || korva.Volume()->Compatible) return false;
  if (korva.UDF_GetLastErrorNumber() == KORVA_E_LEFT_OPEN) return WarnLeftOpen();
  // The check reads the volume and tells an open volume of ours from anything else.
  bool leftOpen = false, other = false;
  korva.OnFinding = [&](TKorva *, const KorvaFinding &f) {
    leftOpen = leftOpen || f.Kind == KORVA_FINDING_LEFT_OPEN;
    other = other || f.Kind == KORVA_FINDING_FOREIGN_VOLUME ||
            f.Kind == KORVA_FINDING_VOLUME_STRUCTURE || f.Kind == KORVA_FINDING_UNREADABLE;
  };
  korva.CheckVolume();
  korva.OnFinding = nullptr;
  if (!leftOpen || other) return false;
  return WarnLeftOpen();
}

bool TfrmMain::WarnLeftOpen() {
  MessageBox(QStringLiteral("The volume was left open by a session that did not end.\rUse "
                            "Repair Volume in the menu to make it usable again."),
             QStringLiteral("Volume Left Open"), QMessageBox::Warning);
  return true;
}

void TfrmMain::RepairVolumeCommand() {
  if (!Confirm(QStringLiteral("Repair the volume?\rEvery completed file is kept; entries that "
                              "cannot be read are removed."),
               QStringLiteral("Repair Volume")))
    return;
  StartOperation(okRepairVolume);
}

void TfrmMain::DoRepairVolume() {
  BeginStatus(QStringLiteral("Repairing Volume ..."), true, false);
  int changes = 0;
  korva.OnFinding = [&](TKorva *, const KorvaFinding &f) {
    ++changes;
    SetStatus(QString::fromUtf8(f.Text));
  };
  const bool repaired = korva.RepairVolume() != KFALSE;
  korva.OnFinding = nullptr;
  if (repaired) {
    // The repair leaves the volume mounted again, as a mount would.
    const bool image = OnGuiValue([&] { return FImageMounted; });
    UpdateMountState(true, !image, true);
    SetStatus(QStringLiteral("Searching Directories and Files in UDF Volume ..."));
    FillVolumeTree(frmUDFVolumeLayout->Root(), QStringLiteral("\\"));
    MessageBox(QStringLiteral("Volume repaired: %1 problem(s) mended.").arg(changes),
               QStringLiteral("Repair Volume"), QMessageBox::Information);
  } else {
    ShowLastError();
  }
  EndStatus(true, false);
}

void TfrmMain::DoDismountVolume() {
  BeginStatus(QStringLiteral("Closing Volume ..."), true, false);
  if (!korva.UDF_DismountVolume()) ShowLastError();
  OnGui([&] { frmUDFVolumeLayout->ClearTree(); });
  const bool image = OnGuiValue([&] { return FImageMounted; });
  UpdateMountState(false, !image, false);
  OnGui([&] { FImageMounted = false; });
  EndStatus(true, true);
}

// ---- Listing --------------------------------------------------------------------------------

bool TfrmMain::FillVolumeTree(QTreeWidgetItem *node, const QString &volumePath) {
  // No volume holds more entries than blocks: a listing that finds more is going round in
  // circles through damaged directories.
  qint64 budget = static_cast<qint64>(korva.UDF_GetTotalBlocksOfLogicalVolume()) + 1;
  return FillVolumeTreeLevel(node, volumePath, 0, budget);
}

bool TfrmMain::FillVolumeTreeLevel(QTreeWidgetItem *node, const QString &volumePath, int depth,
                                   qint64 &budget) {
  _UDF_FIND_DATAA data{};
  const int32_t handle =
      korva.UDF_FindFirstFile(U8(volumePath + QLatin1Char('*')).constData(), &data);
  if (handle == -1) {
    if (korva.UDF_GetLastErrorNumber() != 0) {
      ShowLastError();
      return false;
    }
    return true;
  }
  bool result = true;
  for (;;) {
    const QString name =
        QString::fromUtf8(data.cFileName, qstrnlen(data.cFileName, sizeof data.cFileName));
    if (--budget < 0 || depth >= kMaxTreeDepth) {
      MessageBox(QStringLiteral("The volume's directories lead back into themselves; the volume "
                                "is damaged.\rThe tree shows the entries listed so far."),
                 QStringLiteral("Error"), QMessageBox::Critical);
      result = false;
      break;
    }
    if (data.dwFileAttributes & kAttributeDirectory) {
      QTreeWidgetItem *child =
          OnGuiValue([&] { return frmUDFVolumeLayout->AddDirectoryNode(node, name); });
      if (!FillVolumeTreeLevel(child, volumePath + name + QLatin1Char('\\'), depth + 1, budget)) {
        result = false;
        break;
      }
    } else {
      OnGui([&] { frmUDFVolumeLayout->AddFileNode(node, name); });
    }
    if (!korva.UDF_FindNextFile(handle, &data)) {
      if (korva.UDF_GetLastErrorNumber() != 0) {
        ShowLastError();
        result = false;
      }
      break;
    }
  }
  korva.UDF_FindClose(handle);
  return result;
}

// ---- Drops and import -----------------------------------------------------------------------

static QStringList LocalPaths(const QMimeData *mime) {
  QStringList paths;
  if (!mime || !mime->hasUrls()) return paths;
  for (const QUrl &u : mime->urls())
    if (u.isLocalFile()) paths.append(u.toLocalFile());
  return paths;
}

void TfrmMain::dragEnterEvent(QDragEnterEvent *event) {
  if (acceptDrops() && !LocalPaths(event->mimeData()).isEmpty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TfrmMain::dragMoveEvent(QDragMoveEvent *event) {
  if (acceptDrops() && !LocalPaths(event->mimeData()).isEmpty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TfrmMain::dropEvent(QDropEvent *event) {
  const QStringList paths = LocalPaths(event->mimeData());
  if (!acceptDrops() || paths.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  DropFiles(paths);
}

void TfrmMain::DropFiles(const QStringList &paths) {
  FDroppedItems = paths;
  frmUDFVolumeLayout->setEnabled(false);
  StartOperation(okAddDroppedItems);
}

void TfrmMain::DoAddDroppedItems() {
  BeginStatus(QStringLiteral("Preparing to add user data ..."), true, false);
  TfrmUDFVolumeLayout &browser = *frmUDFVolumeLayout;
  const bool browserVisible = OnGuiValue([&] { return browser.isVisible(); });
  if (browserVisible) OnGui([&] { browser.Layout->setUpdatesEnabled(false); });
  QTreeWidgetItem *target = OnGuiValue([&] { return browser.FDropTargetNode; });
  const QStringList items = OnGuiValue([&] { return FDroppedItems; });

  int number = 0;
  for (const QString &item : items) {
    ++number;
    const QString name = DroppedItemName(item);
    const QString dir = OnGuiValue([&] { return browser.NodeToVolumePath(target); });
    SetStatus(QStringLiteral("Preparing to add dropped item # ") + QString::number(number) +
              QStringLiteral(":\r") + name);
    if (OnGuiValue([&] { return browser.ChildExists(target, name); })) {
      MessageBox(name + QStringLiteral(" is already present in ") + dir, QStringLiteral("Error"),
                 QMessageBox::Critical);
      break;
    }
    const QFileInfo info(item);
    if (info.isDir()) {
      const QString volumeDir = dir + name + QLatin1Char('\\');
      SetStatus(QStringLiteral("Creating directory:\r") + volumeDir);
      if (!korva.UDF_CreateDirectory(U8(dir).constData(), U8(name).constData())) {
        ShowLastError();
        break;
      }
      QTreeWidgetItem *node = OnGuiValue([&] { return browser.AddDirectoryNode(target, name); });
      QStringList ancestors{info.canonicalFilePath()};
      if (!AddDirectoryTree(node, item, volumeDir, ancestors)) break;
    } else if (info.isFile() || (info.isSymLink() && !info.exists())) {
      if (!ImportFile(target, item, dir + name, name)) break;
    }
    // Anything else has gone since the drop, or is a pipe, socket or device, and is passed
    // over: reading those could block or never end.
  }

  if (browserVisible) {
    OnGui([&] { browser.Layout->setUpdatesEnabled(true); });
    if (korva.UDF_GetVolumeCompatibility()) OnGui([&] { browser.RefreshStatistics(); });
  }
  if (!korva.UDF_GetVolumeCompatibility()) UpdateCompatibility(false);
  OnGui([&] { browser.FDropTargetNode = browser.Root(); });
  EndStatus(true, true);
}

bool TfrmMain::ImportFile(QTreeWidgetItem *node, const QString &localFile,
                          const QString &volumeFile, const QString &name) {
  SetStatus(QStringLiteral("Creating and Writing file:\r") + volumeFile);
  const int fd = ::open(QFile::encodeName(localFile).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ShowLocalError(QStringLiteral("Local file could not be opened"), localFile, errno);
    return false;
  }
  const int32_t handle =
      korva.UDF_CreateFile(U8(volumeFile).constData(), kGenericWrite, kCreateNew, kAttributeNormal);
  if (handle == -1) {
    ShowLastError();
    ::close(fd);
    return false;
  }
  OnGui([&] { frmUDFVolumeLayout->AddFileNode(node, name); });

  // Copied in chunks: files larger than memory, or than one call's 32-bit count, arrive whole.
  std::vector<char> buffer(kCopyChunk);
  bool writeFailed = false;
  int readError = 0;
  for (;;) {
    const ssize_t n = ReadFully(fd, buffer.data(), buffer.size());
    if (n < 0) {
      readError = errno;
      break;
    }
    if (n == 0) break;
    uint32_t written = 0;
    if (!korva.UDF_WriteFile(handle, buffer.data(), static_cast<uint32_t>(n), &written) ||
        written != static_cast<uint32_t>(n)) {
      writeFailed = true;
      break;
    }
  }
  ::close(fd);
  // Report the write's error before closing can replace the error number.
  if (writeFailed) {
    ShowLastError();
    korva.UDF_CloseHandle(handle);
    return false;
  }
  korva.UDF_CloseHandle(handle);
  if (readError != 0) {
    ShowLocalError(QStringLiteral("Local file could not be read"), localFile, readError);
    return false;
  }
  return true;
}

bool TfrmMain::AddDirectoryTree(QTreeWidgetItem *node, const QString &localDir,
                                const QString &volumeDir, QStringList &ancestors) {
  QString dirPath = localDir;
  if (!dirPath.endsWith(QLatin1Char('/'))) dirPath.append(QLatin1Char('/'));
  QDirIterator it(dirPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  while (it.hasNext()) {
    it.next();
    const QFileInfo entry = it.fileInfo();
    const QString name = entry.fileName();
    if (name.startsWith(QLatin1Char('.'))) continue;
    if (entry.isDir()) {
      // A link back to a directory being copied would never end.
      const QString canonical = entry.canonicalFilePath();
      if (ancestors.contains(canonical)) continue;
      const QString subDir = volumeDir + name + QLatin1Char('\\');
      SetStatus(QStringLiteral("Creating directory:\r") + subDir);
      if (!korva.UDF_CreateDirectory(U8(volumeDir).constData(), U8(name).constData())) {
        ShowLastError();
        return false;
      }
      QTreeWidgetItem *child =
          OnGuiValue([&] { return frmUDFVolumeLayout->AddDirectoryNode(node, name); });
      ancestors.append(canonical);
      const bool ok = AddDirectoryTree(child, dirPath + name, subDir, ancestors);
      ancestors.removeLast();
      if (!ok) return false;
    } else if (entry.isFile() || (entry.isSymLink() && !entry.exists())) {
      // A dangling link is reported when it cannot be opened; pipes and devices are no files.
      if (!ImportFile(node, dirPath + name, volumeDir + name, name)) return false;
    }
  }
  return true;
}

// ---- Extract, delete, remove ----------------------------------------------------------------

void TfrmMain::DoExtractFile() {
  BeginStatus(QStringLiteral("Extracting File ..."), false, true);
  TfrmUDFVolumeLayout &browser = *frmUDFVolumeLayout;
  QString localPath, volumePath;
  OnGui([&] {
    localPath = browser.FExtractPath;
    volumePath = browser.NodeToVolumePath(browser.FActionNode);
  });
  const int fd = ::open(QFile::encodeName(localPath).constData(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    ShowLocalError(QStringLiteral("Local file could not be created"), localPath, errno);
  } else {
    std::vector<char> buffer(kExtractBuffer);
    const int32_t handle = korva.UDF_CreateFile(U8(volumePath).constData(), kGenericRead,
                                                kOpenExisting, kAttributeNormal);
    if (handle == -1) {
      ShowLastError();
    } else {
      uint32_t done = 0;
      if (!korva.UDF_ReadFile(handle, buffer.data(), kExtractBuffer, &done)) {
        ShowLastError();
      } else {
        while (done != 0) {
          if (!WriteFully(fd, buffer.data(), done)) {
            ShowLocalError(QStringLiteral("Local file could not be written"), localPath, errno);
            break;
          }
          if (!korva.UDF_ReadFile(handle, buffer.data(), kExtractBuffer, &done)) {
            ShowLastError();
            break;
          }
        }
      }
      korva.UDF_CloseHandle(handle);
    }
    if (::close(fd) != 0)
      ShowLocalError(QStringLiteral("Local file could not be written"), localPath, errno);
  }
  EndStatus(false, true);
}

void TfrmMain::DoRemove(bool directory) {
  BeginStatus(directory ? QStringLiteral("Removing Directory ...")
                        : QStringLiteral("Deleting File ..."),
              false, true);
  TfrmUDFVolumeLayout &browser = *frmUDFVolumeLayout;
  QTreeWidgetItem *node = OnGuiValue([&] { return browser.FActionNode; });
  const QString path = OnGuiValue([&] { return browser.NodeToVolumePath(node); });
  const KBOOL ok = directory ? korva.UDF_RemoveDirectory(U8(path).constData())
                             : korva.UDF_DeleteFile(U8(path).constData());
  if (ok) {
    OnGui([&] {
      if (browser.FActionNode == node) browser.FActionNode = nullptr;
      if (browser.FDropTargetNode == node) browser.FDropTargetNode = browser.Root();
      delete node;
      browser.RefreshStatistics();
    });
  } else {
    ShowLastError();
    if (!korva.UDF_GetVolumeCompatibility()) UpdateCompatibility(false);
  }
  EndStatus(false, true);
}

void TfrmMain::DoDeleteFile() {
  DoRemove(false);
}

void TfrmMain::DoRemoveDirectory() {
  DoRemove(true);
}
