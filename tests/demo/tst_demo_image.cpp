// The demo's windows on image files: start-up, menu states, format, drops onto the main
// window and the browser tree, the browser's commands, and remounting what was written.
#include <QFileDialog>
#include <QLineEdit>
#include <QToolButton>
#include <QMenu>
#include <QRadioButton>
#include <QTemporaryDir>

#include "DemoTestUtil.h"

namespace {

// Descriptor CRC of on-disc tags: CRC-16 with polynomial 0x1021, starting at 0.
quint16 TagCrc(const char *data, int length) {
  quint16 crc = 0;
  for (int i = 0; i < length; ++i) {
    crc ^= static_cast<quint16>(static_cast<quint8>(data[i]) << 8);
    for (int b = 0; b < 8; ++b)
      crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x1021)
                           : static_cast<quint16>(crc << 1);
  }
  return crc;
}

quint16 Le16(const QByteArray &d, qsizetype at) {
  return static_cast<quint16>(static_cast<quint8>(d[at]) | static_cast<quint8>(d[at + 1]) << 8);
}

// Offset of the file identifier descriptor naming `name` (compressed as 8 or 16 bits), or -1.
qsizetype FindFid(const QByteArray &image, char name) {
  for (qsizetype at = 0; at + 40 <= image.size(); at += 4) {
    if (Le16(image, at) != 257) continue;
    quint8 sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<quint8>(sum + static_cast<quint8>(image[at + i]));
    if (sum != static_cast<quint8>(image[at + 4])) continue;
    const int nameLength = static_cast<quint8>(image[at + 19]);
    const qsizetype id = at + 38 + Le16(image, at + 36);
    const bool narrow =
        nameLength == 2 && id + 2 <= image.size() && image[id] == 8 && image[id + 1] == name;
    const bool wide = nameLength == 3 && id + 3 <= image.size() && image[id] == 16 &&
                      image[id + 1] == 0 && image[id + 2] == name;
    if (narrow || wide) return at;
  }
  return -1;
}

// Points the directory entry `from` at the file entry of `to` and mends the tag.
bool RedirectFid(QByteArray &image, char from, char to) {
  const qsizetype src = FindFid(image, to), dst = FindFid(image, from);
  if (src < 0 || dst < 0) return false;
  for (int i = 20; i < 36; ++i)
    image[dst + i] = image[src + i]; // the ICB long_ad
  const int crcLength = Le16(image, dst + 10);
  const quint16 crc = TagCrc(image.constData() + dst + 16, crcLength);
  image[dst + 8] = static_cast<char>(crc & 0xFF);
  image[dst + 9] = static_cast<char>(crc >> 8);
  quint8 sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<quint8>(sum + static_cast<quint8>(image[dst + i]));
  image[dst + 4] = static_cast<char>(sum);
  return true;
}

const QStringList kAlways{"Component Version", "Help"};

QStringList WithAlways(QStringList commands) {
  commands.append(kAlways);
  return commands;
}

} // namespace

class TestDemoImage : public QObject {
  Q_OBJECT

  QTemporaryDir work;
  QString savedDir;
  std::unique_ptr<TfrmMain> main;
  std::unique_ptr<ModalCloser> closer;

  // Starts the demo with no drive; the untouched selection dialog mounts ".\UDF.iso".
  void StartWithImage() {
    main = std::make_unique<TfrmMain>();
    main->show();
    QTRY_VERIFY_WITH_TIMEOUT(closer->titles.contains(QStringLiteral("Mount Logical Volume")), 5000);
    QVERIFY(WaitIdle(*main));
  }

  void Format(int tag) {
    QSignalSpy done(main.get(), &TfrmMain::formatFinished);
    (tag == 0 ? main->mnuiFormatVolumeQuick : main->mnuiFormatVolumeFull)->trigger();
    QVERIFY(done.wait(30000) || done.count() == 1);
    QCOMPARE(done.first().first().toBool(), false);
    QVERIFY(WaitIdle(*main));
  }

  // Starts with a formatted, empty image.
  void StartFormatted() {
    StartWithImage();
    Format(0);
  }

  void DropOnMain(const QStringList &paths) {
    Drop(main.get(), QPoint(10, 10), paths);
    QVERIFY(WaitIdle(*main));
  }

  void DropOnTree(QTreeWidgetItem *node, const QStringList &paths) {
    TfrmUDFVolumeLayout &browser = *main->frmUDFVolumeLayout;
    QPoint pos;
    if (node) {
      pos = browser.Layout->visualItemRect(node).center();
    } else {
      // Below the last node.
      pos = QPoint(10, browser.Layout->viewport()->height() - 3);
      QVERIFY(browser.Layout->itemAt(pos) == nullptr);
    }
    QVERIFY(!node || browser.Layout->itemAt(pos) == node);
    Drop(browser.Layout->viewport(), pos, paths);
    QTest::qWait(20); // the tree hands the drop on through the event queue
    QVERIFY(WaitIdle(*main));
  }

  QString Local(const QString &rel) const { return work.filePath(QStringLiteral("src/") + rel); }

private slots:
  void initTestCase() {
    QVERIFY(work.isValid());
    savedDir = QDir::currentPath();
  }

  void init() {
    QDir(work.path()).removeRecursively();
    QVERIFY(QDir().mkpath(work.path()));
    QVERIFY(QDir::setCurrent(work.path()));
    closer = std::make_unique<ModalCloser>();
  }

  void cleanup() {
    if (main) {
      QVERIFY(WaitIdle(*main));
      main.reset();
    }
    closer.reset();
    QDir::setCurrent(savedDir);
  }

  void startupWithoutDriveCreatesAndMountsTheDefaultImage() {
    main = std::make_unique<TfrmMain>();
    QCOMPARE(main->windowTitle(), QStringLiteral("Demo (Full)"));
    QCOMPARE(main->size(), QSize(104, 43));
    QCOMPARE(EnabledCommands(main->pmnuOptions), WithAlways({"Select Device ...", "Mount Image"}));
    bool driveEnabled = true, imageChecked = false;
    QString imageText;
    closer->handlers.push_back([&](QWidget *w) {
      auto *sel = qobject_cast<TfrmDeviceImageFileSelection *>(w);
      QVERIFY(sel);
      driveEnabled = sel->rdbDrive->isEnabled();
      imageChecked = sel->rdbImageFile->isChecked();
      imageText = sel->edtImageFile->text();
    });
    main->show();
    QTRY_VERIFY_WITH_TIMEOUT(closer->titles.contains(QStringLiteral("Mount Logical Volume")), 5000);
    QVERIFY(WaitIdle(*main));
    QVERIFY(!driveEnabled);
    QVERIFY(imageChecked);
    QCOMPARE(imageText, QStringLiteral(".\\UDF.iso"));
    QCOMPARE(QFileInfo(QStringLiteral("UDF.iso")).size(), qint64(100) << 20);
    // Mounted, not compatible, and no message about it.
    QVERIFY(closer->messages.isEmpty());
    QCOMPARE(main->lblMountStatus->text(), QStringLiteral("Image Mounted."));
    QCOMPARE(main->lblMountStatus->toolTip(), QStringLiteral(".\\UDF.iso"));
    QVERIFY(main->lblUDFCompatibility->isHidden());
    QCOMPARE(EnabledCommands(main->pmnuOptions),
             WithAlways({"Select Device ...", "Dismount Volume", "Format Volume (Quick)",
                         "Format Volume (Full)"}));
    QVERIFY(!AcceptsDrag(main.get(), {work.path()}));

    // Without a drive, "Select Device ..." only says so.
    main->mnuiSelectDevice->trigger();
    QCOMPARE(closer->messages, QStringList{"No device is present on system."});
  }

  void imageSizeTextThatIsNoNumberCreates100MiB() {
    main = std::make_unique<TfrmMain>();
    closer->handlers.push_back([](QWidget *w) {
      auto *sel = static_cast<TfrmDeviceImageFileSelection *>(w);
      sel->edtImageFile->setText(QDir::current().filePath(QStringLiteral("other.img")));
      sel->edtImageFileSize->setText(QStringLiteral("lots"));
    });
    main->show();
    QTRY_VERIFY_WITH_TIMEOUT(closer->titles.contains(QStringLiteral("Mount Logical Volume")), 5000);
    QVERIFY(WaitIdle(*main));
    QCOMPARE(QFileInfo(QStringLiteral("other.img")).size(), qint64(100) << 20);
    QCOMPARE(main->lblMountStatus->toolTip(),
             QDir::current().filePath(QStringLiteral("other.img")));
  }

  void browseTakesANewImageNameAndCancelKeepsTheOld() {
    main = std::make_unique<TfrmMain>();
    TfrmDeviceImageFileSelection &sel = *main->frmDeviceImageFileSelection;
    const QString fresh = QDir::current().filePath(QStringLiteral("new.iso"));
    closer->handlers.push_back([&](QWidget *w) {
      auto *dialog = qobject_cast<QFileDialog *>(w);
      QVERIFY(dialog);
      QCOMPARE(dialog->windowTitle(), QStringLiteral("Specify UDF Image File"));
      dialog->selectFile(fresh);
      static_cast<QDialog *>(dialog)->accept(); // checks the name as the OK button does
    });
    sel.SpeedButton1->click();
    QCOMPARE(sel.edtImageFile->text(), fresh);
    QVERIFY(!QFile::exists(fresh));
    sel.SpeedButton1->click(); // closed without a choice
    QCOMPARE(sel.edtImageFile->text(), fresh);
    QCOMPARE(closer->titles.size(), 2);
  }

  void formatLeavesAnEmptyCompatibleVolume() {
    StartWithImage();
    main->frmUDFVolumeLayout->AddFileNode(main->frmUDFVolumeLayout->Root(),
                                          QStringLiteral("stale"));
    Format(1);
    QVERIFY(closer->messages.isEmpty());
    QCOMPARE(main->frmUDFVolumeLayout->Root()->childCount(), 0);
    QVERIFY(main->lblUDFCompatibility->isVisible());
    QVERIFY(main->tmrFormatVolume->isActive() == false);
    QVERIFY(AcceptsDrag(main.get(), {work.path()}));
    QCOMPARE(EnabledCommands(main->pmnuOptions),
             WithAlways({"Select Device ...", "Open UDF Volume Layout", "Dismount Volume",
                         "Format Volume (Quick)", "Format Volume (Full)"}));
    QCOMPARE(main->pmnuOptions->defaultAction(), main->mnuiOpenUDFVolumeLayout);
    // A double click on a label opens the browser without modality.
    QTest::mouseDClick(main->lblMountStatus, Qt::LeftButton);
    QVERIFY(main->frmUDFVolumeLayout->isVisible());
    QVERIFY(!main->frmUDFVolumeLayout->isModal());
    QCOMPARE(main->frmUDFVolumeLayout->lblTotalBlocksOfLogicalVolume->text(),
             QString::number(main->korva.UDF_GetTotalBlocksOfLogicalVolume()));
    main->frmUDFVolumeLayout->close();
    QVERIFY(ListVolume(main->korva).isEmpty());

    // The status window cannot be closed while an operation holds it.
    main->frmStatus->FCanClose = false;
    main->frmStatus->show();
    main->frmStatus->close();
    QVERIFY(main->frmStatus->isVisible());
    main->frmStatus->FCanClose = true;
    main->frmStatus->close();
    QVERIFY(!main->frmStatus->isVisible());
  }

  void dropOfATreeSkipsDotNamesAndKeepsEmptyFolders() {
    StartFormatted();
    WriteFile(Local("docs/a.txt"), "alpha");
    WriteFile(Local("docs/sub/deep/b.bin"), Pattern(70000, 1));
    WriteFile(Local("docs/.git/config"), "x");
    WriteFile(Local("docs/.hidden"), "x");
    QVERIFY(QDir().mkpath(Local("docs/empty")));
    QVERIFY(QDir().mkpath(Local("docs/sub/also-empty")));
    WriteFile(Local("top.dat"), QByteArray());
    // A folder dropped with a trailing separator keeps its own name.
    DropOnMain({Local("docs") + QLatin1Char('/'), Local("top.dat"), Local("vanished")});
    QVERIFY2(closer->messages.isEmpty(), qPrintable(closer->messages.join('|')));

    QStringList expected{"\\docs\\",
                         "\\docs\\a.txt",
                         "\\docs\\empty\\",
                         "\\docs\\sub\\",
                         "\\docs\\sub\\also-empty\\",
                         "\\docs\\sub\\deep\\",
                         "\\docs\\sub\\deep\\b.bin",
                         "\\top.dat"};
    QStringList onVolume = ListVolume(main->korva);
    QStringList inTree = ListTree(*main->frmUDFVolumeLayout);
    onVolume.sort();
    inTree.sort();
    QCOMPARE(onVolume, expected);
    QCOMPARE(inTree, expected);
    QCOMPARE(ReadVolumeFile(main->korva, "\\docs\\sub\\deep\\b.bin"), Pattern(70000, 1));
    QCOMPARE(ReadVolumeFile(main->korva, "\\top.dat"), QByteArray());
    QCOMPARE(main->frmUDFVolumeLayout->FDropTargetNode, main->frmUDFVolumeLayout->Root());

    // A name already present stops the import before any later item.
    WriteFile(Local("later.txt"), "late");
    DropOnMain({Local("top.dat"), Local("later.txt")});
    QCOMPARE(closer->messages, QStringList{"top.dat is already present in \\"});
    QVERIFY(!ListVolume(main->korva).contains("\\later.txt"));

    // Remounting lists the same tree again.
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QCOMPARE(main->frmUDFVolumeLayout->Root()->childCount(), 0);
    QCOMPARE(main->lblMountStatus->text(), QStringLiteral("Volume Dismounted."));
    QCOMPARE(EnabledCommands(main->pmnuOptions), WithAlways({"Select Device ...", "Mount Image"}));
    main->mnuiMountImage->trigger();
    QVERIFY(WaitIdle(*main));
    QVERIFY(main->lblUDFCompatibility->isVisible());
    inTree = ListTree(*main->frmUDFVolumeLayout);
    inTree.sort();
    QCOMPARE(inTree, expected);
  }

  void largeFileArrivesWholeAcrossCopyChunks() {
    StartFormatted();
    // Larger than one copy chunk and not a multiple of it.
    const QByteArray big = Pattern((9 << 20) + 12345, 7);
    WriteFile(Local("big.bin"), big);
    DropOnMain({Local("big.bin")});
    QVERIFY(closer->messages.isEmpty());
    QCOMPARE(ReadVolumeFile(main->korva, "\\big.bin"), big);
  }

  // A damaged volume whose directory lists its own parent must not hang the listing: the
  // way back is shown, and opening it says what it is.
  void listingOfCyclicDirectoriesEnds() {
    StartFormatted();
    QVERIFY(main->korva.UDF_CreateDirectory("\\", "a"));
    QVERIFY(main->korva.UDF_CreateDirectory("\\a\\", "b"));
    QVERIFY(main->korva.UDF_CreateDirectory("\\a\\", "c"));
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    {
      QFile file(QStringLiteral("UDF.iso"));
      QVERIFY(file.open(QIODevice::ReadWrite));
      QByteArray image = file.readAll();
      QVERIFY(RedirectFid(image, 'b', 'a')); // \a\b is \a again
      QVERIFY(file.seek(0));
      QCOMPARE(file.write(image), image.size());
    }
    main->mnuiMountImage->trigger();
    QVERIFY(WaitIdle(*main, 60000));
    QVERIFY2(closer->messages.size() == 1, qPrintable(closer->messages.join('|')));
    QVERIFY2(closer->messages[0].contains(QStringLiteral("belongs elsewhere in the tree")),
             qPrintable(closer->messages[0]));
    int depth = 0;
    for (QTreeWidgetItem *n = FindNode(*main->frmUDFVolumeLayout, "\\a\\"); n && n->childCount();
         n = n->child(0))
      ++depth;
    QCOMPARE(depth, 1); // a holds b, which is not followed back into a
  }

  void volumeLeftOpenIsRepairedFromTheMenu() {
    StartFormatted();
    QVERIFY(main->korva.UDF_CreateDirectory("\\", "kept"));
    const QByteArray data = Pattern(50000, 5);
    const int32_t h = main->korva.UDF_CreateFile("\\kept\\f.bin", 0x40000000u, 1, 0);
    QVERIFY(h != -1);
    uint32_t done = 0;
    QVERIFY(main->korva.UDF_WriteFile(h, data.constData(), uint32_t(data.size()), &done));
    main->korva.UDF_CloseHandle(h);
    main->mnuiDismountVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QVERIFY(!main->mnuiRepairVolume->isEnabled());
    {
      // Record the integrity descriptor open again, as a session that never ended leaves it.
      QFile file(QStringLiteral("UDF.iso"));
      QVERIFY(file.open(QIODevice::ReadWrite));
      bool marked = false;
      for (qint64 sector = 256; sector < 512 && !marked; ++sector) {
        QVERIFY(file.seek(sector * 2048));
        QByteArray d = file.read(2048);
        if (Le16(d, 0) != 9 || Le16(d, 12) != sector) continue;
        for (int i = 28; i < 32; ++i)
          d[i] = 0;
        const quint16 crc = TagCrc(d.constData() + 16, Le16(d, 10));
        d[8] = char(crc & 0xFF);
        d[9] = char(crc >> 8);
        quint8 sum = 0;
        for (int i = 0; i < 16; ++i)
          if (i != 4) sum = quint8(sum + quint8(d[i]));
        d[4] = char(sum);
        QVERIFY(file.seek(sector * 2048));
        QCOMPARE(file.write(d), d.size());
        marked = true;
      }
      QVERIFY(marked);
    }
    main->mnuiMountImage->trigger();
    QVERIFY(WaitIdle(*main));
    QVERIFY(!main->lblUDFCompatibility->isVisible());
    QVERIFY(main->mnuiRepairVolume->isEnabled());
    QCOMPARE(closer->titles.count(QStringLiteral("Volume Left Open")), 1);

    // Answering No leaves the volume as it is.
    main->mnuiRepairVolume->trigger();
    QVERIFY(WaitIdle(*main));
    QVERIFY(!main->lblUDFCompatibility->isVisible());
    QVERIFY(main->mnuiRepairVolume->isEnabled());

    closer->answerYes = true;
    main->mnuiRepairVolume->trigger();
    QVERIFY(WaitIdle(*main, 60000));
    QCOMPARE(closer->titles.count(QStringLiteral("Repair Volume")), 3); // 2 questions, 1 result
    QVERIFY(closer->messages.last().startsWith(QStringLiteral("Volume repaired: 1 problem")));
    QVERIFY(main->lblUDFCompatibility->isVisible());
    QVERIFY(!main->mnuiRepairVolume->isEnabled());
    QCOMPARE(ListTree(*main->frmUDFVolumeLayout),
             QStringList({QStringLiteral("\\kept\\"), QStringLiteral("\\kept\\f.bin")}));
    QCOMPARE(ReadVolumeFile(main->korva, QStringLiteral("\\kept\\f.bin")), data);
  }

  void fullVolumeStopsTheImportWithTheLibrarysMessage() {
    main = std::make_unique<TfrmMain>();
    closer->handlers.push_back([](QWidget *w) {
      static_cast<TfrmDeviceImageFileSelection *>(w)->edtImageFileSize->setText("20");
    });
    main->show();
    QTRY_VERIFY_WITH_TIMEOUT(closer->titles.contains(QStringLiteral("Mount Logical Volume")), 5000);
    QVERIFY(WaitIdle(*main));
    Format(0);
    WriteFile(Local("huge.bin"), Pattern(24 << 20, 5));
    WriteFile(Local("small.txt"), "small");
    DropOnMain({Local("huge.bin"), Local("small.txt")});
    QCOMPARE(closer->messages.size(), 1);
    // The library's own description of the failed write.
    QVERIFY(!closer->messages[0].isEmpty());
    QVERIFY(closer->messages[0] != QStringLiteral("Operation Failed."));
    QVERIFY(!ListVolume(main->korva).contains("\\small.txt"));
    QVERIFY(main->lblUDFCompatibility->isVisible());
  }

  void localFileThatCannotBeOpenedIsReportedAndStopsTheImport() {
    StartFormatted();
    WriteFile(Local("d/a.txt"), "a");
    QVERIFY(QFile::link(Local("d/gone"), Local("d/broken")));
    WriteFile(Local("after.txt"), "never copied");
    DropOnMain({Local("d"), Local("after.txt")});
    QCOMPARE(closer->messages.size(), 1);
    QVERIFY2(closer->messages[0].contains(Local("d/broken")), qPrintable(closer->messages[0]));
    QVERIFY(closer->messages[0].contains(QStringLiteral("No such file or directory")));
    const QStringList onVolume = ListVolume(main->korva);
    QVERIFY(!onVolume.contains("\\d\\broken"));
    QVERIFY(!onVolume.contains("\\after.txt"));
  }

  void dropsOntoTheTreeChooseTheirDirectory() {
    StartFormatted();
    TfrmUDFVolumeLayout &browser = *main->frmUDFVolumeLayout;
    WriteFile(Local("f1.txt"), "1");
    WriteFile(Local("f2.txt"), "2");
    WriteFile(Local("f3.txt"), "3");
    QVERIFY(QDir().mkpath(Local("dir")));
    DropOnMain({Local("dir"), Local("f1.txt")});
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));

    // Onto a file node: nothing is added.
    DropOnTree(FindNode(browser, "\\f1.txt"), {Local("f2.txt")});
    QVERIFY(!ListVolume(main->korva).contains("\\f2.txt"));
    QCOMPARE(browser.FDropTargetNode, browser.Root());
    // Onto a directory node: into that directory.
    DropOnTree(FindNode(browser, "\\dir\\"), {Local("f2.txt")});
    QVERIFY(ListVolume(main->korva).contains("\\dir\\f2.txt"));
    QVERIFY(FindNode(browser, "\\dir\\f2.txt"));
    QCOMPARE(browser.FDropTargetNode, browser.Root());
    // Onto empty space: into the root.
    DropOnTree(nullptr, {Local("f3.txt")});
    QVERIFY(ListVolume(main->korva).contains("\\f3.txt"));
    QVERIFY(closer->messages.isEmpty());
    QCOMPARE(browser.lblFileCount->text(), QString::number(main->korva.UDF_GetFileCount()));
    QCOMPARE(main->korva.UDF_GetFileCount(), 3u);
    browser.close();
  }

  void browserCommandsFollowTheSelectedNode() {
    StartFormatted();
    TfrmUDFVolumeLayout &browser = *main->frmUDFVolumeLayout;
    WriteFile(Local("d/inner.txt"), "in");
    QVERIFY(QDir().mkpath(Local("e")));
    WriteFile(Local("f.txt"), "f");
    DropOnMain({Local("d"), Local("e"), Local("f.txt")});
    QCOMPARE(browser.NodeToVolumePath(FindNode(browser, "\\d\\inner.txt")),
             QStringLiteral("\\d\\inner.txt"));

    auto enabledFor = [&](QTreeWidgetItem *node) {
      browser.Layout->clearSelection();
      if (node) node->setSelected(true);
      browser.PrepareContextMenu();
      return EnabledCommands(browser.pmnuOptions);
    };
    QCOMPARE(enabledFor(nullptr), QStringList());
    QCOMPARE(browser.FActionNode, nullptr);
    QCOMPARE(enabledFor(browser.Root()), QStringList());
    QCOMPARE(enabledFor(FindNode(browser, "\\f.txt")),
             (QStringList{"Extract File", "Delete File"}));
    QCOMPARE(enabledFor(FindNode(browser, "\\e\\")), QStringList{"Remove Directory"});
    QCOMPARE(enabledFor(FindNode(browser, "\\d\\")), QStringList());

    // Deleting the last child makes its directory removable.
    QCOMPARE(enabledFor(FindNode(browser, "\\d\\inner.txt")),
             (QStringList{"Extract File", "Delete File"}));
    browser.DeleteFile();
    QVERIFY(WaitIdle(*main));
    QVERIFY(!FindNode(browser, "\\d\\inner.txt"));
    QVERIFY(!ListVolume(main->korva).contains("\\d\\inner.txt"));
    QCOMPARE(enabledFor(FindNode(browser, "\\d\\")), QStringList{"Remove Directory"});
    browser.RemoveDirectory();
    QVERIFY(WaitIdle(*main));
    QVERIFY(!FindNode(browser, "\\d\\"));
    QStringList left = ListVolume(main->korva);
    left.sort();
    QCOMPARE(left, (QStringList{"\\e\\", "\\f.txt"}));
    QVERIFY(closer->messages.isEmpty());

    // A failed delete keeps the node and says why.
    QTreeWidgetItem *ghost = browser.AddFileNode(browser.Root(), QStringLiteral("ghost"));
    QCOMPARE(enabledFor(ghost), (QStringList{"Extract File", "Delete File"}));
    browser.DeleteFile();
    QVERIFY(WaitIdle(*main));
    QCOMPARE(closer->messages.size(), 1);
    QVERIFY(FindNode(browser, "\\ghost"));
  }

  void extractionCopiesEmptyAndBufferSizedFiles() {
    StartFormatted();
    TfrmUDFVolumeLayout &browser = *main->frmUDFVolumeLayout;
    const QByteArray exact = Pattern(65536, 3);
    const QByteArray odd = Pattern(65536 * 2 + 1, 4);
    WriteFile(Local("empty"), QByteArray());
    WriteFile(Local("exact.bin"), exact);
    WriteFile(Local("odd.bin"), odd);
    DropOnMain({Local("empty"), Local("exact.bin"), Local("odd.bin")});

    auto extract = [&](const QString &volumePath, const QString &local) {
      browser.Layout->clearSelection();
      FindNode(browser, volumePath)->setSelected(true);
      browser.PrepareContextMenu();
      browser.ExtractFileTo(local);
      QVERIFY(WaitIdle(*main));
    };
    // An existing local file is emptied first.
    WriteFile(work.filePath("out-empty"), "previous content");
    extract("\\empty", work.filePath("out-empty"));
    extract("\\exact.bin", work.filePath("out-exact"));
    extract("\\odd.bin", work.filePath("out-odd"));
    QVERIFY(closer->messages.isEmpty());
    auto read = [](const QString &p) {
      QFile f(p);
      return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    };
    QCOMPARE(read(work.filePath("out-empty")), QByteArray());
    QCOMPARE(read(work.filePath("out-exact")), exact);
    QCOMPARE(read(work.filePath("out-odd")), odd);

    // A local file that cannot be created is reported.
    extract("\\exact.bin", work.filePath("no/such/dir/x"));
    QCOMPARE(closer->messages.size(), 1);
    QVERIFY(closer->messages[0].contains(QStringLiteral("No such file or directory")));
  }
};

QTEST_MAIN(TestDemoImage)
#include "tst_demo_image.moc"
