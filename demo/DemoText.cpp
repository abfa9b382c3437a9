#include "DemoText.h"

#include <cfenv>
#include <cmath>

long long RoundHalfEven(double value) {
  // nearbyint follows the current rounding mode; make sure it is round-to-nearest-even.
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(value);
  std::fesetround(saved);
  return static_cast<long long>(r);
}

QString FormatKBs(long long kbs, const QLocale &locale) {
  QLocale grouped = locale;
  grouped.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
  return grouped.toString(kbs) + QStringLiteral(" KB/s");
}

int SpeedForMultiple(int multiple) {
  return static_cast<int>(RoundHalfEven(multiple * kSingleSpeed));
}

QString SpeedEntryText(int writeSpeed, const QLocale &locale) {
  const long long multiple = RoundHalfEven(writeSpeed / kSingleSpeed);
  return QString::number(multiple) + QStringLiteral("x (") + FormatKBs(writeSpeed, locale) +
         QStringLiteral(")");
}

int SpeedMultipleFromEntry(const QString &entry) {
  if (entry == QStringLiteral("Max")) return 0;
  const qsizetype x = entry.indexOf(QLatin1Char('x'));
  bool ok = false;
  const int m = entry.left(x < 0 ? entry.size() : x).trimmed().toInt(&ok);
  return ok && m > 0 ? m : 0;
}

QStringList BuildSpeedList(const SpeedProbe &drive, const QLocale &locale) {
  QStringList list{QStringLiteral("Max")};
  const long long n = RoundHalfEven(drive.maxWriteSpeed() / kSingleSpeed);
  for (long long c = 1; c <= n; ++c) {
    const int speed = SpeedForMultiple(static_cast<int>(c));
    drive.setSpeed(speed, speed);
    const QString entry = SpeedEntryText(drive.writeSpeed(), locale);
    if (!list.contains(entry)) list.append(entry);
  }
  return list;
}

QString FormatProgressText(int percent) {
  if (percent >= 100) return QStringLiteral("Formatting Volume ...");
  return QStringLiteral("Physical Formatting (") + QString::number(percent) + QStringLiteral("%).");
}

QString MediumName(int medium) {
  static const char *const names[] = {
      "Unknown",   "CD-ROM",    "CD-R",   "CD-RW", "DVD-ROM",  "DVD-R",    "DVD-RAM", "DVD-RW",
      "DVD-RW RO", "DVD-RW SR", "DVD+RW", "DVD+R", "DVD+R DL", "DDCD-ROM", "DDCD-R",  "DDCD-RW"};
  if (medium < 0 || medium >= static_cast<int>(std::size(names))) return QStringLiteral("Unknown");
  return QString::fromLatin1(names[medium]);
}

QChar DriveLetterOfEntry(const QString &entry) {
  return entry.size() > 6 ? entry.at(6) : QChar();
}

int ImageSizeFromText(const QString &text) {
  bool ok = false;
  const int size = text.trimmed().toInt(&ok, 10);
  // The library takes the size as a 16-bit count of MiB.
  if (!ok || size <= 0 || size > 65535) return 100;
  return size;
}

QString LocalImagePath(const QString &text) {
  if (text.startsWith(QStringLiteral(".\\")))
    return QStringLiteral("./") + QString(text.mid(2)).replace(QLatin1Char('\\'), QLatin1Char('/'));
  return text;
}

QString DroppedItemName(const QString &path) {
  QString s = path;
  if (s.size() > 1 && s.endsWith(QLatin1Char('/'))) s.chop(1);
  return s.mid(s.lastIndexOf(QLatin1Char('/')) + 1);
}

QStringList HelpLines() {
  return {
      QStringLiteral(
          "If mounted disc/image is UDF-Compatible then files/directories could be dropped"),
      QStringLiteral("onto main window from Windows Explorer."),
      QString(),
      QStringLiteral(
          "\"Open UDF Volume Layout\" option could be used to view UDF Volume contents,"),
      QStringLiteral(
          "extract a file or delete a file/empty directory. Files/directories could also be"),
      QStringLiteral("dropped onto treeview describing Logical Volume."),
      QString(),
      QStringLiteral(
          "After working with Logical Volume, it must be dismounted so that all cached data"),
      QStringLiteral("could be flushed."),
      QString(),
      QStringLiteral("Please consult accompanied manual for detailed explanation of component"),
      QStringLiteral("functionality. For contacting us, please visit ") +
          QLatin1String(kWebAddress) + QStringLiteral(" or mail"),
      QStringLiteral("at ") + QLatin1String(kMailAddress) + QStringLiteral("."),
  };
}
