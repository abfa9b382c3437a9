// The demo's device commands on a virtual CD-RW drive loaded as the ASPI module: selection,
// device information, the speed list, lock, eject and load, full format with progress, erase.
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

#include <cstdlib>

#include "DemoTestUtil.h"
#include "DemoText.h"

class TestDemoDrive : public QObject {
  Q_OBJECT

  QTemporaryDir work;
  std::unique_ptr<TfrmMain> main;
  std::unique_ptr<ModalCloser> closer;

  // Starts the demo; the untouched selection dialog selects the first drive and mounts it.
  void StartWithDrive() {
    main = std::make_unique<TfrmMain>(QByteArray(KORVA_VDRIVE_MODULE));
    main->show();
    QTRY_VERIFY_WITH_TIMEOUT(closer->titles.contains(QStringLiteral("Mount Logical Volume")), 5000);
    QVERIFY(WaitIdle(*main));
  }

  bool Format(int tag, QStringList *statusSeen) {
    QSignalSpy done(main.get(), &TfrmMain::formatFinished);
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
      const QString s = main->frmStatus->Status();
      if (main->frmStatus->isVisible() && (statusSeen->isEmpty() || statusSeen->last() != s))
        statusSeen->append(s);
    });
    watch.start(5);
    (tag == 0 ? main->mnuiFormatVolumeQuick : main->mnuiFormatVolumeFull)->trigger();
    if (!done.wait(60000) && done.isEmpty()) return false;
    return WaitIdle(*main) && !done.first().first().toBool();
  }

private slots:
  void initTestCase() {
    QVERIFY(work.isValid());
    // The module reads its drives when first loaded: one CD-RW burner with a blank disc whose
    // physical format takes long enough for the progress timer to tick.
    const QByteArray config =
        "cdrw/cdrw,format=2500,blank=300:" + QFile::encodeName(work.filePath("disc.img"));
    qputenv("KORVA_VDRIVE", config);
  }

  void init() { closer = std::make_unique<ModalCloser>(); }

  void cleanup() {
    if (main) {
      QVERIFY(WaitIdle(*main));
      main.reset();
    }
    closer.reset();
  }

  void driveCommandsFormatAndErase() {
    QString driveEntry;
    closer->handlers.push_back([&](QWidget *w) {
      auto *sel = qobject_cast<TfrmDeviceImageFileSelection *>(w);
      QVERIFY(sel);
      QVERIFY(sel->rdbDrive->isChecked());
      QCOMPARE(sel->cbDrives->count(), 1);
      driveEntry = sel->cbDrives->currentText();
    });
    StartWithDrive();
    QVERIFY(driveEntry.contains(QStringLiteral("VCD-RW 52X")));
    QVERIFY(main->FDeviceSelected);
    QCOMPARE(main->mnuiSelectDevice->text(), driveEntry);

    // A blank disc mounts as not compatible and says so.
    QCOMPARE(closer->messages.size(), 1);
    QVERIFY(
        closer->messages[0].startsWith(QStringLiteral("Logical Volume is not UDF-compatible.\r")));
    QCOMPARE(main->lblMountStatus->text(), QString(DriveLetterOfEntry(driveEntry)) + ": Mounted.");
    QCOMPARE(main->lblMountStatus->toolTip(), driveEntry);
    QCOMPARE(EnabledCommands(main->pmnuOptions),
             (QStringList{"Device Information", "Set Device Speed...", "Dismount Volume",
                          "Format Volume (Quick)", "Format Volume (Full)", "Component Version",
                          "Help"}));

    // Device information as the drive reports it.
    QString discIs, maxRead, bufferSize;
    bool burner = false, writeCdRw = false, writeDvdRam = true;
    closer->handlers.push_back([&](QWidget *w) {
      auto *info = qobject_cast<TfrmDeviceInfo *>(w);
      QVERIFY(info);
      discIs = info->lblDiscIs->text();
      maxRead = info->lblDeviceMaxReadSpeed->text();
      bufferSize = info->lblDeviceBufferSize->text();
      burner = info->chkDeviceIsBurner->isChecked();
      writeCdRw = info->DeviceCanBox("chkWriteCDRW")->isChecked();
      writeDvdRam = info->DeviceCanBox("chkWriteDVDRAM")->isChecked();
    });
    main->mnuiDeviceInfo->trigger();
    QCOMPARE(discIs, QStringLiteral("CD-RW"));
    QCOMPARE(maxRead, FormatKBs(main->korva.GetDeviceMaxReadSpeed()));
    QVERIFY(maxRead.endsWith(QStringLiteral(" KB/s")));
    QCOMPARE(bufferSize, QString::number(main->korva.GetDeviceBufferSize()));
    QVERIFY(burner);
    QVERIFY(writeCdRw);
    QVERIFY(!writeDvdRam);

    // The speed list: every multiple tried, each speed the drive settles on shown once.
    QStringList speeds;
    closer->handlers.push_back([&](QWidget *w) {
      auto *dlg = qobject_cast<TfrmDeviceSpeed *>(w);
      QVERIFY(dlg);
      for (int i = 0; i < dlg->cbSpeed->count(); ++i)
        speeds.append(dlg->cbSpeed->itemText(i));
      dlg->cbSpeed->setCurrentIndex(2);
    });
    main->mnuiSetDeviceSpeed->trigger();
    QVERIFY(speeds.size() >= 3);
    QCOMPARE(speeds.first(), QStringLiteral("Max"));
    QCOMPARE(QSet<QString>(speeds.begin(), speeds.end()).size(), speeds.size());
    const int chosen = SpeedForMultiple(SpeedMultipleFromEntry(speeds[2]));
    QVERIFY(main->korva.GetWriteSpeed() <= chosen);
    QVERIFY(main->korva.GetWriteSpeed() > 0);

    // Full format: the progress timer shows the physical format, then the volume is ready.
    QStringList statusSeen;
    QVERIFY(Format(1, &statusSeen));
    QVERIFY2(closer->messages.size() == 1, qPrintable(closer->messages.join('|')));
    QCOMPARE(statusSeen.first(), QStringLiteral("Formatting Volume ..."));
    bool progress = false;
    for (const QString &s : statusSeen)
      progress |= s.startsWith(QStringLiteral("Physical Formatting (")) && s.endsWith("%).");
    QVERIFY2(progress, qPrintable(statusSeen.join('|')));
    QVERIFY(!main->tmrFormatVolume->isActive());
    QVERIFY(main->lblUDFCompatibility->isVisible());
    QCOMPARE(EnabledCommands(main->pmnuOptions),
             (QStringList{"Device Information", "Set Device Speed...", "Open UDF Volume Layout",
                          "Dismount Volume", "Format Volume (Quick)", "Format Volume (Full)",
                          "Component Version", "Help"}));

    // Files written to the drive's volume survive a dismount and a new mount.
    WriteFile(work.filePath("src/note.txt"), "on the disc");
    Drop(main.get(), QPoint(5, 5), {work.filePath("src/note.txt")});
    QVERIFY(WaitIdle(*main));
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QCOMPARE(EnabledCommands(main->pmnuOptions),
             (QStringList{driveEntry, "Device Information", "Lock Medium", "Unlock Medium",
                          "Eject Medium", "Load Medium", "Erase Disc (Quick)", "Erase Disc (Full)",
                          "Set Device Speed...", "Mount Volume", "Mount Image", "Component Version",
                          "Help"}));
    main->mnuiMountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QCOMPARE(ListTree(*main->frmUDFVolumeLayout), QStringList{"\\note.txt"});
    QCOMPARE(ReadVolumeFile(main->korva, "\\note.txt"), QByteArray("on the disc"));
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));

    // Lock and unlock report success; eject and load report nothing when they work.
    main->mnuiLockMedium->trigger();
    main->mnuiUnlockMedium->trigger();
    main->mnuiEjectMedium->trigger();
    main->mnuiLoadMedium->trigger();
    QCOMPARE(closer->messages.mid(1), (QStringList{"Medium Locked.", "Medium Unlocked."}));

    // Quick erase runs in the background and ends with the status window closed.
    QSignalSpy erased(main.get(), &TfrmMain::eraseFinished);
    main->mnuiEraseDiscQuick->trigger();
    QCOMPARE(main->frmStatus->Status(), QStringLiteral("Erasing Disc ..."));
    QVERIFY(!main->isEnabled());
    QVERIFY(erased.wait(30000) || erased.count() == 1);
    QCOMPARE(erased.first().first().toBool(), false);
    QVERIFY(WaitIdle(*main));
    QCOMPARE(closer->messages.size(), 3);

    // The erased disc no longer holds a UDF volume.
    main->mnuiMountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QVERIFY(main->lblUDFCompatibility->isHidden());
    QCOMPARE(closer->messages.size(), 4);
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));

    // An image mounted while a drive is selected: "Mount Volume" waits for its dismount.
    closer->handlers.push_back([&](QWidget *w) {
      auto *sel = qobject_cast<TfrmDeviceImageFileSelection *>(w);
      QVERIFY(sel);
      QVERIFY(!sel->rdbDrive->isEnabled());
      QVERIFY(sel->rdbImageFile->isChecked());
      sel->edtImageFile->setText(work.filePath("side.iso"));
    });
    main->mnuiMountImage->trigger();
    QVERIFY(WaitIdle(*main));
    QCOMPARE(main->lblMountStatus->text(), QStringLiteral("Image Mounted."));
    QVERIFY(!main->mnuiMountVolume->isEnabled());
    QVERIFY(main->mnuiEraseDiscQuick->isEnabled());
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QVERIFY(main->mnuiMountVolume->isEnabled());
    QCOMPARE(closer->messages.size(), 4);

    // "Select Device ..." offers only the drive choice and selects by the entry's letter.
    bool imageChoiceEnabled = true;
    closer->handlers.push_back([&](QWidget *w) {
      auto *sel = qobject_cast<TfrmDeviceImageFileSelection *>(w);
      QVERIFY(sel);
      QCOMPARE(sel->windowTitle(), QStringLiteral("Select Device"));
      imageChoiceEnabled = sel->rdbImageFile->isEnabled();
    });
    main->FDeviceSelected = false;
    main->mnuiSelectDevice->trigger();
    QVERIFY(!imageChoiceEnabled);
    QVERIFY(main->FDeviceSelected);
    QCOMPARE(main->mnuiSelectDevice->text(), driveEntry);
    QCOMPARE(closer->messages.size(), 4);
  }
};

QTEST_MAIN(TestDemoDrive)
#include "tst_demo_drive.moc"
