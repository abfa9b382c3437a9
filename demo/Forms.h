// The windows of korvademo: the main window with its command menu, the status window, the
// volume browser and the device dialogs. Every window is created once and lives as long as
// the program; the main window drives the library through its one component `korva`.
#pragma once

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QThread>
#include <QTreeWidget>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include "korva/TKorva.hpp"

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QRadioButton;
class QTimer;
class QToolButton;
class TfrmMain;

// ---- Status window -------------------------------------------------------------------------

class TfrmStatus : public QDialog {
  Q_OBJECT
public:
  explicit TfrmStatus(QWidget *parent = nullptr);
  // The text as given; a carriage return in it breaks the line on screen.
  void SetStatus(const QString &text);
  QString Status() const { return FStatus; }
  bool FCanClose = true;

public slots:
  void reject() override;

protected:
  void closeEvent(QCloseEvent *event) override;

private:
  QLabel *lblStatus;
  QString FStatus;
};

// ---- Device dialogs ------------------------------------------------------------------------

class TfrmDeviceImageFileSelection : public QDialog {
  Q_OBJECT
public:
  explicit TfrmDeviceImageFileSelection(QWidget *parent = nullptr);
  QRadioButton *rdbDrive;
  QComboBox *cbDrives;
  QRadioButton *rdbImageFile;
  QLineEdit *edtImageFile;
  QLineEdit *edtImageFileSize;
  QToolButton *SpeedButton1;
  QFileDialog *od;

private:
  void Browse();
};

class TfrmDeviceInfo : public QDialog {
  Q_OBJECT
public:
  TfrmDeviceInfo(TKorva &korva, QWidget *parent = nullptr);
  // Reads every value from the drive again.
  void Refresh();

  QLabel *lblDeviceBufferSize, *lblDiscIs;
  QLabel *lblDeviceMaxReadSpeed, *lblDeviceMaxWriteSpeed, *lblMaxWriteSpeed, *lblReadSpeed,
      *lblWriteSpeed;
  QCheckBox *chkTestUnitReady, *chkDeviceIsBurner, *chkErasable;
  // The "Device Can :" boxes by name (chkReadCDR ... chkUnderrunProtection).
  QCheckBox *DeviceCanBox(const QString &name) const;

protected:
  void showEvent(QShowEvent *event) override;

private:
  struct CanBox {
    QCheckBox *box;
    int code; // DeviceCan code; -1 and -2 for MRW read and write
  };
  TKorva &korva;
  QList<CanBox> FCanBoxes;
};

class TfrmDeviceSpeed : public QDialog {
  Q_OBJECT
public:
  TfrmDeviceSpeed(TKorva &korva, QWidget *parent = nullptr);
  // Rebuilds the list by trying every multiple of the single speed on the drive.
  void Refresh();
  QComboBox *cbSpeed;

protected:
  void showEvent(QShowEvent *event) override;

private:
  TKorva &korva;
};

class TfrmHelp : public QDialog {
  Q_OBJECT
public:
  explicit TfrmHelp(QWidget *parent = nullptr);
  QPlainTextEdit *Memo;
};

// ---- Volume browser ------------------------------------------------------------------------

// The tree of the browser; drops of local files onto it go on to the main window.
class TVolumeTree : public QTreeWidget {
  Q_OBJECT
public:
  using QTreeWidget::QTreeWidget;
  std::function<void(QTreeWidgetItem *target, const QStringList &paths)> OnDropFiles;

protected:
  void dragEnterEvent(QDragEnterEvent *event) override;
  void dragMoveEvent(QDragMoveEvent *event) override;
  void dropEvent(QDropEvent *event) override;
};

class TfrmUDFVolumeLayout : public QDialog {
  Q_OBJECT
public:
  TfrmUDFVolumeLayout(TfrmMain &main, QWidget *parent = nullptr);

  QTreeWidgetItem *AddDirectoryNode(QTreeWidgetItem *parent, const QString &name);
  QTreeWidgetItem *AddFileNode(QTreeWidgetItem *parent, const QString &name);
  bool ChildExists(QTreeWidgetItem *node, const QString &name) const;
  QString NodeToVolumePath(QTreeWidgetItem *node) const;
  bool IsDirectoryNode(QTreeWidgetItem *node) const;
  bool IsRootNode(QTreeWidgetItem *node) const { return node == Root(); }
  QTreeWidgetItem *Root() const { return Layout->topLevelItem(0); }
  void ClearTree();
  void RefreshStatistics();

  // Sets FActionNode and the enabled state of the three commands from the selected node.
  void PrepareContextMenu();
  // The commands of the context menu; ExtractFileTo skips the save dialog.
  void ExtractFile();
  void ExtractFileTo(const QString &localPath);
  void DeleteFile();
  void RemoveDirectory();

  QLabel *lblTotalBlocksOfLogicalVolume, *lblFreeBlocksOfLogicalVolume, *lblDirCount, *lblFileCount;
  TVolumeTree *Layout;
  QMenu *pmnuOptions;
  QAction *mnuiExtractFile, *mnuiDeleteFile, *mnuiRemoveDirectory;
  QFileDialog *sd;

  QTreeWidgetItem *FActionNode = nullptr;
  QTreeWidgetItem *FDropTargetNode = nullptr;
  QString FExtractPath; // the local file chosen for the running extraction

protected:
  void showEvent(QShowEvent *event) override;

private:
  TfrmMain &main;
};

// ---- Operation thread ----------------------------------------------------------------------

enum TOperationKind : uint8_t {
  okMountImage = 0,
  okMountVolume = 1,
  okDismountVolume = 2,
  okAddDroppedItems = 3,
  okExtractFile = 4,
  okDeleteFile = 5,
  okRemoveDirectory = 6,
  okRepairVolume = 7,
};

// Runs the procedure of one operation on a thread of its own, once, and frees itself after.
class TUDFOperationThread : public QThread {
  Q_OBJECT
public:
  explicit TUDFOperationThread(uint8_t kind) : FKind(kind) {}
  std::array<std::function<void()>, 8> FProcedures;

protected:
  void run() override;

private:
  uint8_t FKind;
};

// ---- Main window ---------------------------------------------------------------------------

class TfrmMain : public QWidget {
  Q_OBJECT
public:
  // aspiLibrary: the ASPI module handed to InitializeASPI at start ("" = the default choice).
  explicit TfrmMain(const QByteArray &aspiLibrary = QByteArray(), QWidget *parent = nullptr);
  ~TfrmMain() override;

  TKorva korva;

  // The other windows, created with the main window in this order.
  std::unique_ptr<TfrmDeviceImageFileSelection> frmDeviceImageFileSelection;
  std::unique_ptr<TfrmDeviceInfo> frmDeviceInfo;
  std::unique_ptr<TfrmDeviceSpeed> frmDeviceSpeed;
  std::unique_ptr<TfrmStatus> frmStatus;
  std::unique_ptr<TfrmUDFVolumeLayout> frmUDFVolumeLayout;
  std::unique_ptr<TfrmHelp> frmHelp;

  QLabel *lblMountStatus, *lblUDFCompatibility;
  QMenu *pmnuOptions;
  QAction *mnuiSelectDevice, *mnuiDeviceInfo, *mnuiLockMedium, *mnuiUnlockMedium, *mnuiEjectMedium,
      *mnuiLoadMedium, *mnuiEraseDiscQuick, *mnuiEraseDiscFull, *mnuiSetDeviceSpeed,
      *mnuiOpenUDFVolumeLayout, *mnuiMountVolume, *mnuiMountImage, *mnuiDismountVolume,
      *mnuiFormatVolumeQuick, *mnuiFormatVolumeFull, *mnuiRepairVolume, *mnuiComponentVersion,
      *mnuiHelp;
  QTimer *tmrFormatVolume;

  bool FDeviceSelected = false;
  bool FImageMounted = false;
  QStringList FDroppedItems;
  // The tree's image list and the indices in it of the closed and open folder and the root.
  QList<QIcon> FTreeImages;
  int FFolderIcon = -1, FOpenFolderIcon = -1, FRootIcon = -1;
  int FileIconIndex(const QString &name);

  // Start-up: the device/image choice and the first mount.
  void Startup();
  void StartOperation(uint8_t kind);
  void ShowLastError();
  // Message box in the manner of ShowLastError for a failed local file operation.
  void ShowLocalError(const QString &what, const QString &path, int osError);
  void MessageBox(const QString &text, const QString &caption, QMessageBox::Icon icon);
  // A question with Yes and No; true when the answer is Yes.
  bool Confirm(const QString &text, const QString &caption);
  void SetStatus(const QString &text);
  void UpdateDeviceSelected(bool selected);
  void UpdateMountState(bool mounted, bool device, bool compatible);
  void UpdateCompatibility(bool compatible);
  // Drop handler: the local paths of the items dropped onto the window or the tree.
  void DropFiles(const QStringList &paths);
  bool FillVolumeTree(QTreeWidgetItem *node, const QString &volumePath);
  // Format progress timer tick.
  void FormatTimerTick();

  // Menu commands.
  void SelectDeviceCommand();
  void DeviceInfoCommand();
  void LockMediumCommand();
  void UnlockMediumCommand();
  void EjectMediumCommand();
  void LoadMediumCommand();
  void EraseDiscCommand(int tag);
  void SetDeviceSpeedCommand();
  void OpenUDFVolumeLayoutCommand();
  void MountVolumeCommand();
  void MountImageCommand();
  void DismountVolumeCommand();
  void FormatVolumeCommand(int tag);
  void RepairVolumeCommand();
  void ComponentVersionCommand();
  void HelpCommand();

  // Operation procedures (run on a TUDFOperationThread).
  void DoMountImage();
  void DoMountVolume();
  void DoDismountVolume();
  void DoAddDroppedItems();
  void DoExtractFile();
  void DoDeleteFile();
  void DoRemoveDirectory();
  void DoRepairVolume();

  // Operations started and not yet finished.
  int RunningOperations() const { return FRunning.load(); }

signals:
  void operationFinished(int kind);
  void formatFinished(bool failed);
  void eraseFinished(bool failed);

protected:
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;
  void mouseDoubleClickEvent(QMouseEvent *event) override;
  void dragEnterEvent(QDragEnterEvent *event) override;
  void dragMoveEvent(QDragMoveEvent *event) override;
  void dropEvent(QDropEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  void BeginStatus(const QString &text, bool disableMain, bool disableBrowser);
  void EndStatus(bool enableMain, bool enableBrowser);
  void korvaFormatDone(bool failed);
  void korvaEraseDone(bool failed);
  bool FillVolumeTreeLevel(QTreeWidgetItem *node, const QString &volumePath, int depth,
                           qint64 &budget);
  bool AddDirectoryTree(QTreeWidgetItem *node, const QString &localDir, const QString &volumeDir,
                        QStringList &ancestors);
  bool ImportFile(QTreeWidgetItem *node, const QString &localFile, const QString &volumeFile,
                  const QString &name);
  void DoRemove(bool directory);
  // After a mount that did not come out compatible: whether the volume is one of this
  // library's that was left open (and offers Repair Volume when it is).
  bool OfferRepairIfLeftOpen();
  bool WarnLeftOpen();

  QByteArray FAspiLibrary;
  bool FStarted = false;
  std::atomic<int> FRunning{0};
  QHash<QString, int> FFileIcons;
};
