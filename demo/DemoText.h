// Texts and numbers shown by the demo: speed and size formats, progress text, medium names,
// help lines and the small path helpers of the import. Kept free of windows and of the
// library so that they can be checked on their own.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

#include <functional>

// The single CD speed in KB/s; drive speeds are offered as multiples of it.
inline constexpr double kSingleSpeed = 176.46;

// Rounds to the nearest integer, halves to the even neighbour.
long long RoundHalfEven(double value);

// "#,##0 KB/s": thousands always grouped with the locale's separator, no decimals.
QString FormatKBs(long long kbs, const QLocale &locale = QLocale());

// Speed in KB/s that a multiple of the single speed asks the drive for (0 for 0 = maximum).
int SpeedForMultiple(int multiple);

// One entry of the speed list: "<multiple>x (#,##0 KB/s)" for a speed read back from the drive.
QString SpeedEntryText(int writeSpeed, const QLocale &locale = QLocale());

// The multiple chosen in the speed list: 0 for "Max", else the integer before the first "x".
int SpeedMultipleFromEntry(const QString &entry);

// The drive operations the speed list needs, so that it can be built against any drive.
struct SpeedProbe {
  std::function<int()> maxWriteSpeed;
  std::function<void(int read, int write)> setSpeed;
  std::function<int()> writeSpeed;
};

// Tries every multiple up to the drive's maximum write speed and returns "Max" followed by
// one entry per distinct speed the drive reports back. Leaves the drive at the last multiple.
QStringList BuildSpeedList(const SpeedProbe &drive, const QLocale &locale = QLocale());

// Status text of the format progress timer for a percentage of 0 to 100.
QString FormatProgressText(int percent);

// Name shown for a TMedium value.
QString MediumName(int medium);

// The drive letter of a device entry ("%d:%d:%d,%s: ..."): its seventh character.
QChar DriveLetterOfEntry(const QString &entry);

// Image size text in MiB; 100 when the text is not a decimal number that fits.
int ImageSizeFromText(const QString &text);

// The local path a user-visible image path stands for. The default ".\UDF.iso" is written the
// way users of the original tool know it and means UDF.iso in the working directory.
QString LocalImagePath(const QString &text);

// The name of a dropped item: its last path component, ignoring one trailing "/".
QString DroppedItemName(const QString &path);

// The lines of the help window.
QStringList HelpLines();

// The demo's own addresses, shown in the help window.
inline constexpr const char *kWebAddress = "https://korva.example.org/";
inline constexpr const char *kMailAddress = "korva@example.org";
