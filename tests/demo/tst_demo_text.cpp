// Number formats, speed list and the small text helpers of the demo.
#include <QTest>

#include <algorithm>
#include <vector>

#include "DemoText.h"

class TestDemoText : public QObject {
  Q_OBJECT
private slots:
  void speedsAreGroupedWithTheLocaleSeparator() {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    QCOMPARE(FormatKBs(7056, en), QStringLiteral("7,056 KB/s"));
    QCOMPARE(FormatKBs(0, en), QStringLiteral("0 KB/s"));
    QCOMPARE(FormatKBs(1234567, en), QStringLiteral("1,234,567 KB/s"));
    QCOMPARE(FormatKBs(7056, QLocale(QLocale::German, QLocale::Germany)),
             QStringLiteral("7.056 KB/s"));
    // The C locale leaves out group separators unless asked; the format always groups.
    QCOMPARE(FormatKBs(7056, QLocale::c()), QStringLiteral("7,056 KB/s"));
  }

  void multiplesRoundHalfToEven() {
    QCOMPARE(RoundHalfEven(2.5), 2LL);
    QCOMPARE(RoundHalfEven(3.5), 4LL);
    QCOMPARE(RoundHalfEven(-0.5), 0LL);
    QCOMPARE(RoundHalfEven(0.5000001), 1LL);
    QCOMPARE(SpeedForMultiple(0), 0);
    QCOMPARE(SpeedForMultiple(1), 176);   // 176.46
    QCOMPARE(SpeedForMultiple(2), 353);   // 352.92
    QCOMPARE(SpeedForMultiple(4), 706);   // 705.84
    QCOMPARE(SpeedForMultiple(40), 7058); // 7058.4
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    QCOMPARE(SpeedEntryText(7056, en), QStringLiteral("40x (7,056 KB/s)"));
    QCOMPARE(SpeedEntryText(88, en), QStringLiteral("0x (88 KB/s)"));
  }

  void chosenEntryGivesTheMultiple() {
    QCOMPARE(SpeedMultipleFromEntry(QStringLiteral("Max")), 0);
    QCOMPARE(SpeedMultipleFromEntry(QStringLiteral("24x (4,234 KB/s)")), 24);
    QCOMPARE(SpeedMultipleFromEntry(QStringLiteral("4x (706 KB/s)")), 4);
    QCOMPARE(SpeedMultipleFromEntry(QString()), 0);
  }

  // A drive keeps a short list of speeds and answers every request with the fastest one
  // not above it (the slowest when all are above).
  void speedListShowsEachSpeedOfAClampingDriveOnce() {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const std::vector<int> table{706, 1411, 2822};
    int current = 0;
    std::vector<int> requests;
    SpeedProbe drive;
    drive.maxWriteSpeed = [] { return 2822; };
    drive.setSpeed = [&](int read, int write) {
      QCOMPARE(read, write);
      requests.push_back(write);
      current = table.front();
      for (int s : table)
        if (s <= write) current = s;
    };
    drive.writeSpeed = [&] { return current; };
    const QStringList list = BuildSpeedList(drive, en);
    QCOMPARE(list, (QStringList{"Max", "4x (706 KB/s)", "8x (1,411 KB/s)", "16x (2,822 KB/s)"}));
    // Every multiple up to 2822 / 176.46 = 15.99 -> 16 was tried, in order.
    QCOMPARE(requests.size(), size_t(16));
    QCOMPARE(requests.front(), 176);
    QCOMPARE(requests.back(), 2823); // 16 x 176.46 = 2823.36
    QVERIFY(std::is_sorted(requests.begin(), requests.end()));
  }

  void slowDriveOffersOnlyMax() {
    for (int max : {0, 50, 88}) {
      int calls = 0;
      SpeedProbe drive{[max] { return max; }, [&](int, int) { ++calls; }, [] { return 0; }};
      QCOMPARE(BuildSpeedList(drive), QStringList{"Max"});
      QCOMPARE(calls, 0);
    }
    // 89 / 176.46 = 0.504 rounds to one multiple.
    SpeedProbe drive{[] { return 89; }, [](int, int) {}, [] { return 176; }};
    QCOMPARE(BuildSpeedList(drive, QLocale(QLocale::English)).size(), 2);
  }

  void progressText() {
    QCOMPARE(FormatProgressText(0), QStringLiteral("Physical Formatting (0%)."));
    QCOMPARE(FormatProgressText(37), QStringLiteral("Physical Formatting (37%)."));
    QCOMPARE(FormatProgressText(100), QStringLiteral("Formatting Volume ..."));
  }

  void pathsAndInputs() {
    QCOMPARE(DroppedItemName(QStringLiteral("/home/u/photos/")), QStringLiteral("photos"));
    QCOMPARE(DroppedItemName(QStringLiteral("/home/u/a.txt")), QStringLiteral("a.txt"));
    QCOMPARE(DroppedItemName(QStringLiteral("/home/u/.hidden")), QStringLiteral(".hidden"));
    QCOMPARE(ImageSizeFromText(QStringLiteral("250")), 250);
    QCOMPARE(ImageSizeFromText(QStringLiteral("abc")), 100);
    QCOMPARE(ImageSizeFromText(QStringLiteral("")), 100);
    QCOMPARE(ImageSizeFromText(QStringLiteral("70000")), 100); // beyond the 16-bit size
    QCOMPARE(ImageSizeFromText(QStringLiteral("0x20")), 100);
    QCOMPARE(LocalImagePath(QStringLiteral(".\\UDF.iso")), QStringLiteral("./UDF.iso"));
    QCOMPARE(LocalImagePath(QStringLiteral("/tmp/x.iso")), QStringLiteral("/tmp/x.iso"));
    QCOMPARE(DriveLetterOfEntry(QStringLiteral("1:0:0,E: KORVA    VDRIVE CDRW 1.00 ")), QChar('E'));
    QCOMPARE(DriveLetterOfEntry(QStringLiteral("1:0")), QChar());
  }
};

QTEST_APPLESS_MAIN(TestDemoText)
#include "tst_demo_text.moc"
