// Widgets may only be touched on the GUI thread. The operation procedures run on worker
// threads and the library's completion events on a thread of the library, so every window
// update they make goes through OnGui: run at once on the GUI thread, otherwise queued to it
// and waited for, which keeps the updates in the order the procedure makes them.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <type_traits>
#include <utility>

inline bool OnGuiThread() {
  return QThread::currentThread() == QCoreApplication::instance()->thread();
}

template <class F> void OnGui(F &&f) {
  if (OnGuiThread()) {
    f();
    return;
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(f),
                            Qt::BlockingQueuedConnection);
}

template <class F> auto OnGuiValue(F &&f) {
  std::invoke_result_t<F> result{};
  OnGui([&] { result = f(); });
  return result;
}
