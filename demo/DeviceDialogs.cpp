// The status window and the dialogs that choose a device or an image, show what the drive
// can do, choose a drive speed and show the help text. None has OK or Cancel buttons: the
// user closes the window and the main window reads what the controls hold.
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "DemoText.h"
#include "Forms.h"

namespace {

const Qt::WindowFlags kToolWindow = Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// A read-only check box: shows a drive answer, never changed by the user.
QCheckBox *Indicator(const QString &caption, const QString &name, QWidget *parent) {
  auto *box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  box->setLayoutDirection(Qt::RightToLeft); // caption on the left of the box
  box->setAttribute(Qt::WA_TransparentForMouseEvents);
  box->setFocusPolicy(Qt::NoFocus);
  return box;
}

QLabel *ValueLabel(const QString &name, QWidget *parent) {
  auto *label = new QLabel(parent);
  label->setObjectName(name);
  return label;
}

QPixmap StatusPicture() {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0xc0, 0xc8, 0xd8));
  p.setPen(QPen(QColor(0x40, 0x48, 0x60), 1.5));
  p.drawEllipse(QRectF(2, 2, 28, 28));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(12, 12, 8, 8));
  return pm;
}

} // namespace

// ---- TfrmStatus -----------------------------------------------------------------------------

TfrmStatus::TfrmStatus(QWidget *parent) : QDialog(parent, kToolWindow | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("frmStatus"));
  setWindowTitle(QStringLiteral("Component Status"));
  auto *picture = new QLabel(this);
  picture->setPixmap(StatusPicture());
  picture->setFixedSize(32, 32);
  lblStatus = new QLabel(this);
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->setMinimumWidth(260);
  auto *row = new QHBoxLayout(this);
  row->addWidget(picture, 0, Qt::AlignTop);
  row->addWidget(lblStatus, 1);
}

void TfrmStatus::SetStatus(const QString &text) {
  FStatus = text;
  lblStatus->setText(QString(text).replace(QLatin1Char('\r'), QLatin1Char('\n')));
}

void TfrmStatus::closeEvent(QCloseEvent *event) {
  if (FCanClose)
    event->accept();
  else
    event->ignore();
}

// Escape would hide the dialog without asking closeEvent.
void TfrmStatus::reject() {
  if (FCanClose) QDialog::reject();
}

// ---- TfrmDeviceImageFileSelection -----------------------------------------------------------

TfrmDeviceImageFileSelection::TfrmDeviceImageFileSelection(QWidget *parent)
    : QDialog(parent, kToolWindow) {
  setObjectName(QStringLiteral("frmDeviceImageFileSelection"));
  setWindowTitle(QStringLiteral("Device/Image File Selection"));

  rdbDrive = new QRadioButton(QStringLiteral("Drive :"), this);
  rdbDrive->setObjectName(QStringLiteral("rdbDrive"));
  rdbDrive->setChecked(true);
  cbDrives = new QComboBox(this);
  cbDrives->setObjectName(QStringLiteral("cbDrives"));
  cbDrives->setEditable(false);
  QFont fixed(QStringLiteral("Courier New"));
  fixed.setStyleHint(QFont::Monospace);
  cbDrives->setFont(fixed);
  cbDrives->setMinimumWidth(380);

  rdbImageFile = new QRadioButton(QStringLiteral("Image File :"), this);
  rdbImageFile->setObjectName(QStringLiteral("rdbImageFile"));
  edtImageFile = new QLineEdit(QStringLiteral(".\\UDF.iso"), this);
  edtImageFile->setObjectName(QStringLiteral("edtImageFile"));
  edtImageFile->setReadOnly(true);
  edtImageFileSize = new QLineEdit(QStringLiteral("100"), this);
  edtImageFileSize->setObjectName(QStringLiteral("edtImageFileSize"));
  edtImageFileSize->setToolTip(QStringLiteral("Image File size in MBs"));
  edtImageFileSize->setMaximumWidth(60);
  SpeedButton1 = new QToolButton(this);
  SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
  SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  SpeedButton1->setAutoRaise(true);

  od = new QFileDialog(this, QStringLiteral("Specify UDF Image File"));
  od->setObjectName(QStringLiteral("od"));
  od->setFileMode(QFileDialog::AnyFile); // a new image may be named
  od->setAcceptMode(QFileDialog::AcceptOpen);
  od->setOption(QFileDialog::ReadOnly, false);
  od->setSizeGripEnabled(true);
  connect(SpeedButton1, &QToolButton::clicked, this, &TfrmDeviceImageFileSelection::Browse);

  // The two radio buttons share this dialog as parent and so exclude each other.
  auto *grid = new QGridLayout(this);
  grid->addWidget(rdbDrive, 0, 0);
  grid->addWidget(cbDrives, 0, 1, 1, 3);
  grid->addWidget(rdbImageFile, 1, 0);
  grid->addWidget(edtImageFile, 1, 1);
  grid->addWidget(SpeedButton1, 1, 2);
  grid->addWidget(edtImageFileSize, 1, 3);
}

void TfrmDeviceImageFileSelection::Browse() {
  if (od->exec() == QDialog::Accepted && !od->selectedFiles().isEmpty())
    edtImageFile->setText(od->selectedFiles().constFirst());
}

// ---- TfrmDeviceInfo -------------------------------------------------------------------------

TfrmDeviceInfo::TfrmDeviceInfo(TKorva &korva, QWidget *parent)
    : QDialog(parent, kToolWindow), korva(korva) {
  setObjectName(QStringLiteral("frmDeviceInfo"));
  setWindowTitle(QStringLiteral("Device Information"));

  auto *group1 = new QWidget(this);
  auto *g1 = new QGridLayout(group1);
  lblDeviceBufferSize = ValueLabel(QStringLiteral("lblDeviceBufferSize"), group1);
  lblDiscIs = ValueLabel(QStringLiteral("lblDiscIs"), group1);
  g1->addWidget(new QLabel(QStringLiteral("Device Buffer Size :"), group1), 0, 0);
  g1->addWidget(lblDeviceBufferSize, 0, 1);
  g1->addWidget(new QLabel(QStringLiteral("Disc Is :"), group1), 1, 0);
  g1->addWidget(lblDiscIs, 1, 1);
  chkTestUnitReady =
      Indicator(QStringLiteral("Test Unit Ready"), QStringLiteral("chkTestUnitReady"), group1);
  chkDeviceIsBurner =
      Indicator(QStringLiteral("Device Is Burner"), QStringLiteral("chkDeviceIsBurner"), group1);
  chkErasable = Indicator(QStringLiteral("Erasable"), QStringLiteral("chkErasable"), group1);
  g1->addWidget(chkTestUnitReady, 2, 0, 1, 2, Qt::AlignLeft);
  g1->addWidget(chkDeviceIsBurner, 3, 0, 1, 2, Qt::AlignLeft);
  g1->addWidget(chkErasable, 4, 0, 1, 2, Qt::AlignLeft);

  auto *group2 = new QWidget(this);
  auto *g2 = new QGridLayout(group2);
  const struct {
    const char *caption, *name;
    QLabel **label;
  } speeds[] = {
      {"Device Max Read Speed :", "lblDeviceMaxReadSpeed", &lblDeviceMaxReadSpeed},
      {"Device Max Write Speed :", "lblDeviceMaxWriteSpeed", &lblDeviceMaxWriteSpeed},
      {"Max Write Speed :", "lblMaxWriteSpeed", &lblMaxWriteSpeed},
      {"Read Speed :", "lblReadSpeed", &lblReadSpeed},
      {"Write Speed :", "lblWriteSpeed", &lblWriteSpeed},
  };
  int row = 0;
  for (const auto &s : speeds) {
    *s.label = ValueLabel(QLatin1String(s.name), group2);
    (*s.label)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    g2->addWidget(new QLabel(QLatin1String(s.caption), group2), row, 0);
    g2->addWidget(*s.label, row++, 1);
  }

  auto *group3 = new QGroupBox(QStringLiteral("Device Can :"), this);
  auto *g3 = new QGridLayout(group3);
  // The order of the calls when refreshing.
  const struct {
    const char *caption, *name;
    int code;
  } can[] = {
      {"Read CD-R", "chkReadCDR", 1},
      {"Read CD-RW", "chkReadCDRW", 2},
      {"Read DVD-RAM", "chkReadDVDRAM", 3},
      {"Read DVD-R", "chkReadDVDR", 4},
      {"Read DVD-RW", "chkReadDVDRW", 5},
      {"Read DVD+R", "chkReadDVDPLUSR", 6},
      {"Read DVD+RW", "chkReadDVDPLUSRW", 7},
      {"Read DVD+R DL", "chkReadDVDPLUSRDL", 8},
      {"Write CD-R", "chkWriteCDR", 11},
      {"Write CD-RW", "chkWriteCDRW", 12},
      {"Write DVD-RAM", "chkWriteDVDRAM", 13},
      {"Write DVD-R", "chkWriteDVDR", 14},
      {"Write DVD-RW", "chkWriteDVDRW", 15},
      {"Write DVD+R", "chkWriteDVDPLUSR", 16},
      {"Write DVD+RW", "chkWriteDVDPLUSRW", 17},
      {"Write DVD+R DL", "chkWriteDVDPLUSRDL", 18},
      {"Read MRW", "chkReadMRW", -1},
      {"Write MRW", "chkWriteMRW", -2},
      {"Test Write", "chkTestWrite", 21},
      {"BURN Proof", "chkUnderrunProtection", 22},
  };
  for (const auto &c : can)
    FCanBoxes.append({Indicator(QLatin1String(c.caption), QLatin1String(c.name), group3), c.code});
  // Laid out as the first sixteen, then Test Write, BURN Proof, Read MRW, Write MRW.
  const int layoutOrder[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 16, 17};
  for (int i = 0; i < 20; ++i)
    g3->addWidget(FCanBoxes[layoutOrder[i]].box, i % 10, i / 10, Qt::AlignLeft);

  auto *top = new QHBoxLayout;
  top->addWidget(group1);
  top->addWidget(group2);
  auto *v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addWidget(group3);
}

QCheckBox *TfrmDeviceInfo::DeviceCanBox(const QString &name) const {
  for (const auto &c : FCanBoxes)
    if (c.box->objectName() == name) return c.box;
  return nullptr;
}

void TfrmDeviceInfo::Refresh() {
  lblDeviceMaxReadSpeed->setText(FormatKBs(korva.GetDeviceMaxReadSpeed()));
  lblDeviceMaxWriteSpeed->setText(FormatKBs(korva.GetDeviceMaxWriteSpeed()));
  lblMaxWriteSpeed->setText(FormatKBs(korva.GetMaxWriteSpeed()));
  lblReadSpeed->setText(FormatKBs(korva.GetReadSpeed()));
  lblWriteSpeed->setText(FormatKBs(korva.GetWriteSpeed()));
  lblDiscIs->setText(MediumName(korva.DiscIs()));
  lblDeviceBufferSize->setText(QString::number(korva.GetDeviceBufferSize()));
  chkTestUnitReady->setChecked(korva.TestUnitReady() != KFALSE);
  chkDeviceIsBurner->setChecked(korva.DeviceIsBurner() != KFALSE);
  chkErasable->setChecked(korva.Erasable() != KFALSE);
  for (const auto &c : FCanBoxes) {
    KBOOL can = KFALSE;
    if (c.code == -1)
      can = korva.GetDeviceSupportsMRWRead();
    else if (c.code == -2)
      can = korva.GetDeviceSupportsMRWWrite();
    else
      can = korva.DeviceCan(static_cast<uint8_t>(c.code));
    c.box->setChecked(can != KFALSE);
  }
}

void TfrmDeviceInfo::showEvent(QShowEvent *event) {
  Refresh();
  QDialog::showEvent(event);
}

// ---- TfrmDeviceSpeed ------------------------------------------------------------------------

TfrmDeviceSpeed::TfrmDeviceSpeed(TKorva &korva, QWidget *parent)
    : QDialog(parent, kToolWindow), korva(korva) {
  setObjectName(QStringLiteral("frmDeviceSpeed"));
  setWindowTitle(QStringLiteral("Select Device Speed"));
  cbSpeed = new QComboBox(this);
  cbSpeed->setObjectName(QStringLiteral("cbSpeed"));
  cbSpeed->setEditable(false);
  cbSpeed->setMinimumWidth(200);
  cbSpeed->addItem(QStringLiteral("Max"));
  cbSpeed->setCurrentIndex(0);
  auto *v = new QVBoxLayout(this);
  v->addWidget(cbSpeed);
}

void TfrmDeviceSpeed::Refresh() {
  const int chosen = cbSpeed->currentIndex();
  SpeedProbe drive;
  drive.maxWriteSpeed = [this] { return int(korva.GetMaxWriteSpeed()); };
  drive.setSpeed = [this](int read, int write) {
    korva.SetDeviceSpeed(static_cast<uint16_t>(std::min(read, 0xFFFF)),
                         static_cast<uint16_t>(std::min(write, 0xFFFF)));
  };
  drive.writeSpeed = [this] { return int(korva.GetWriteSpeed()); };
  const QStringList entries = BuildSpeedList(drive);
  cbSpeed->clear();
  cbSpeed->addItems(entries);
  cbSpeed->setCurrentIndex(chosen < 0 || chosen >= cbSpeed->count() ? 0 : chosen);
}

void TfrmDeviceSpeed::showEvent(QShowEvent *event) {
  Refresh();
  QDialog::showEvent(event);
}

// ---- TfrmHelp -------------------------------------------------------------------------------

TfrmHelp::TfrmHelp(QWidget *parent) : QDialog(parent, kToolWindow) {
  setObjectName(QStringLiteral("frmHelp"));
  setWindowTitle(QStringLiteral("Demo Help"));
  Memo = new QPlainTextEdit(this);
  Memo->setReadOnly(true);
  Memo->setPlainText(HelpLines().join(QLatin1Char('\n')));
  Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto *v = new QVBoxLayout(this);
  v->setContentsMargins(0, 0, 0, 0);
  v->addWidget(Memo);
  resize(560, 260);
}
