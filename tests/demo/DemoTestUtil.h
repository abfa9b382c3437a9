// Helpers for driving the demo's real windows in tests: closing the modal dialogs the demo
// opens (they have no buttons), collecting message boxes, waiting for operations, and
// reading a mounted volume back through the component.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>

#include "Forms.h"

// Watches for modal windows while the event loop runs. A message box is recorded and
// closed; any other dialog is first handed to the next queued handler (which may set its
// controls), then closed, the way a user closes the demo's button-less dialogs.
class ModalCloser : public QObject {
public:
  ModalCloser() {
    connect(&timer, &QTimer::timeout, this, [this] { Poll(); });
    timer.start(10);
  }
  QStringList messages; // message box texts, carriage returns kept
  QStringList titles;   // dialog titles seen, message boxes included
  std::vector<std::function<void(QWidget *)>> handlers;
  bool answerYes = false; // how questions with Yes and No are answered

  void Poll() {
    QWidget *w = QApplication::activeModalWidget();
    if (!w || !w->isVisible() || busy) return;
    busy = true;
    titles.append(w->windowTitle());
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
      messages.append(box->property("korvaText").toString());
      if (box->button(QMessageBox::Yes))
        box->done(answerYes ? QMessageBox::Yes : QMessageBox::No);
      else
        box->done(QMessageBox::Ok);
    } else {
      if (!handlers.empty()) {
        auto h = handlers.front();
        handlers.erase(handlers.begin());
        h(w);
      }
      if (w->isVisible()) w->close();
    }
    busy = false;
  }

private:
  QTimer timer;
  bool busy = false;
};

inline QMimeData *UrlMime(const QStringList &paths) {
  auto *mime = new QMimeData;
  QList<QUrl> urls;
  for (const QString &p : paths)
    urls.append(QUrl::fromLocalFile(p));
  mime->setUrls(urls);
  return mime;
}

// Sends a drag-enter and reports whether the widget would take the drop.
inline bool AcceptsDrag(QWidget *target, const QStringList &paths) {
  std::unique_ptr<QMimeData> mime(UrlMime(paths));
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  return enter.isAccepted();
}

// The sequence a drag from the desktop delivers: enter, move, drop.
inline void Drop(QWidget *target, const QPoint &pos, const QStringList &paths) {
  std::unique_ptr<QMimeData> mime(UrlMime(paths));
  QDragEnterEvent enter(pos, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  QDragMoveEvent move(pos, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &move);
  QDropEvent drop(QPointF(pos), Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &drop);
}

// Waits until no operation runs and the status window is gone.
inline bool WaitIdle(TfrmMain &main, int timeoutMs = 20000) {
  QElapsedTimer t;
  t.start();
  do {
    QTest::qWait(10);
    if (main.RunningOperations() == 0 && !main.frmStatus->isVisible() && main.isEnabled())
      return true;
  } while (t.elapsed() < timeoutMs);
  return false;
}

inline void WriteFile(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  QCOMPARE(f.write(data), data.size());
}

inline QByteArray Pattern(qsizetype size, int seed) {
  QByteArray data(size, Qt::Uninitialized);
  quint32 x = 2463534242u + static_cast<quint32>(seed);
  for (qsizetype i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = static_cast<char>(x);
  }
  return data;
}

// The volume's entries below a directory, as "\a\", "\a\f" lines in listing order.
inline QStringList ListVolume(TKorva &korva, const QString &dir = QStringLiteral("\\")) {
  QStringList out;
  _UDF_FIND_DATAA data{};
  const int32_t h = korva.UDF_FindFirstFile((dir + QLatin1Char('*')).toUtf8().constData(), &data);
  if (h == -1) return out;
  do {
    const QString name = QString::fromUtf8(data.cFileName);
    if (data.dwFileAttributes & 16) {
      out.append(dir + name + QLatin1Char('\\'));
      out.append(ListVolume(korva, dir + name + QLatin1Char('\\')));
    } else {
      out.append(dir + name);
    }
  } while (korva.UDF_FindNextFile(h, &data));
  korva.UDF_FindClose(h);
  return out;
}

inline QByteArray ReadVolumeFile(TKorva &korva, const QString &path) {
  QByteArray out;
  const int32_t h = korva.UDF_CreateFile(path.toUtf8().constData(), 0x80000000u, 3, 128);
  if (h == -1) return QByteArray("<cannot open>");
  QByteArray buffer(1 << 20, Qt::Uninitialized);
  uint32_t done = 0;
  while (korva.UDF_ReadFile(h, buffer.data(), uint32_t(buffer.size()), &done) && done != 0)
    out.append(buffer.constData(), done);
  korva.UDF_CloseHandle(h);
  return out;
}

// The tree below a node as "\a\", "\a\f" lines in tree order.
inline QStringList ListTree(TfrmUDFVolumeLayout &browser, QTreeWidgetItem *node = nullptr) {
  if (!node) node = browser.Root();
  QStringList out;
  for (int i = 0; i < node->childCount(); ++i) {
    out.append(browser.NodeToVolumePath(node->child(i)));
    out.append(ListTree(browser, node->child(i)));
  }
  return out;
}

inline QTreeWidgetItem *FindNode(TfrmUDFVolumeLayout &browser, const QString &volumePath) {
  QList<QTreeWidgetItem *> stack{browser.Root()};
  while (!stack.isEmpty()) {
    QTreeWidgetItem *n = stack.takeLast();
    if (browser.NodeToVolumePath(n) == volumePath) return n;
    for (int i = 0; i < n->childCount(); ++i)
      stack.append(n->child(i));
  }
  return nullptr;
}

// The names of the enabled actions of a menu, in menu order.
inline QStringList EnabledCommands(QMenu *menu) {
  QStringList out;
  for (QAction *a : menu->actions())
    if (!a->isSeparator() && a->isEnabled()) out.append(a->text());
  return out;
}
