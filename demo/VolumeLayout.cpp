// The volume browser: the mounted volume as a tree with four counters above it, and the
// commands that extract a file, delete a file or remove an empty directory.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QVBoxLayout>

#include "Forms.h"

namespace {

// Data role holding the index of a node's icon in the main window's tree image list.
constexpr int kIconRole = Qt::UserRole + 1;

QList<QUrl> LocalUrls(const QMimeData *mime) {
  QList<QUrl> urls;
  if (!mime || !mime->hasUrls()) return urls;
  for (const QUrl &u : mime->urls())
    if (u.isLocalFile()) urls.append(u);
  return urls;
}

} // namespace

// ---- TVolumeTree ----------------------------------------------------------------------------

void TVolumeTree::dragEnterEvent(QDragEnterEvent *event) {
  if (!LocalUrls(event->mimeData()).isEmpty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TVolumeTree::dragMoveEvent(QDragMoveEvent *event) {
  if (!LocalUrls(event->mimeData()).isEmpty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TVolumeTree::dropEvent(QDropEvent *event) {
  const QList<QUrl> urls = LocalUrls(event->mimeData());
  if (urls.isEmpty()) {
    event->ignore();
    return;
  }
  QStringList paths;
  for (const QUrl &u : urls)
    paths.append(u.toLocalFile());
  event->acceptProposedAction();
  if (OnDropFiles) OnDropFiles(itemAt(event->position().toPoint()), paths);
}

// ---- TfrmUDFVolumeLayout --------------------------------------------------------------------

TfrmUDFVolumeLayout::TfrmUDFVolumeLayout(TfrmMain &main, QWidget *parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), main(main) {
  setObjectName(QStringLiteral("frmUDFVolumeLayout"));
  setWindowTitle(QStringLiteral("UDF Volume Layout"));

  auto *panel = new QWidget(this);
  panel->setAutoFillBackground(true);
  QPalette pal = panel->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pal.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(pal);
  auto *grid = new QGridLayout(panel);
  const struct {
    const char *caption, *name;
    QLabel **label;
  } counters[] = {
      {"Total Blocks :", "lblTotalBlocksOfLogicalVolume", &lblTotalBlocksOfLogicalVolume},
      {"Free Blocks :", "lblFreeBlocksOfLogicalVolume", &lblFreeBlocksOfLogicalVolume},
      {"Directory Count :", "lblDirCount", &lblDirCount},
      {"File Count :", "lblFileCount", &lblFileCount},
  };
  int i = 0;
  for (const auto &c : counters) {
    *c.label = new QLabel(QStringLiteral("99999999"), panel);
    (*c.label)->setObjectName(QLatin1String(c.name));
    grid->addWidget(new QLabel(QLatin1String(c.caption), panel), i / 2, (i % 2) * 2);
    grid->addWidget(*c.label, i / 2, (i % 2) * 2 + 1);
    ++i;
  }

  Layout = new TVolumeTree(this);
  Layout->setObjectName(QStringLiteral("Layout"));
  Layout->setHeaderHidden(true);
  Layout->setColumnCount(1);
  Layout->setRootIsDecorated(false); // no expand button on the root
  Layout->setIndentation(20);
  Layout->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Layout->setSelectionMode(QAbstractItemView::SingleSelection);
  Layout->setAcceptDrops(true);
  Layout->viewport()->setAcceptDrops(true);
  Layout->setDragDropMode(QAbstractItemView::DropOnly);
  Layout->setContextMenuPolicy(Qt::CustomContextMenu);
  // Keep the selection visible when the tree loses focus.
  QPalette tp = Layout->palette();
  tp.setColor(QPalette::Inactive, QPalette::Highlight,
              tp.color(QPalette::Active, QPalette::Highlight));
  tp.setColor(QPalette::Inactive, QPalette::HighlightedText,
              tp.color(QPalette::Active, QPalette::HighlightedText));
  Layout->setPalette(tp);

  auto *root = new QTreeWidgetItem(Layout, QStringList{QStringLiteral("R O O T")});
  root->setIcon(0, main.FTreeImages.value(main.FRootIcon));
  root->setData(0, kIconRole, main.FRootIcon);
  root->setExpanded(true);
  FDropTargetNode = root;

  pmnuOptions = new QMenu(this);
  mnuiExtractFile = pmnuOptions->addAction(QStringLiteral("Extract File"));
  mnuiExtractFile->setObjectName(QStringLiteral("mnuiExtractFile"));
  mnuiDeleteFile = pmnuOptions->addAction(QStringLiteral("Delete File"));
  mnuiDeleteFile->setObjectName(QStringLiteral("mnuiDeleteFile"));
  mnuiRemoveDirectory = pmnuOptions->addAction(QStringLiteral("Remove Directory"));
  mnuiRemoveDirectory->setObjectName(QStringLiteral("mnuiRemoveDirectory"));
  connect(mnuiExtractFile, &QAction::triggered, this, [this] { ExtractFile(); });
  connect(mnuiDeleteFile, &QAction::triggered, this, [this] { DeleteFile(); });
  connect(mnuiRemoveDirectory, &QAction::triggered, this, [this] { RemoveDirectory(); });

  connect(Layout, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
    if (QTreeWidgetItem *item = Layout->itemAt(pos)) Layout->setCurrentItem(item);
    PrepareContextMenu();
    pmnuOptions->exec(Layout->viewport()->mapToGlobal(pos));
  });

  Layout->OnDropFiles = [this](QTreeWidgetItem *target, const QStringList &paths) {
    if (target && !IsRootNode(target) && !IsDirectoryNode(target)) {
      FDropTargetNode = Root(); // a file node takes nothing
      return;
    }
    FDropTargetNode = target ? target : Root();
    // Handled by the main window once this drop handler has returned.
    QMetaObject::invokeMethod(
        &this->main, [m = &this->main, paths] { m->DropFiles(paths); }, Qt::QueuedConnection);
  };

  sd = new QFileDialog(this, QStringLiteral("Extract File"));
  sd->setObjectName(QStringLiteral("sd"));
  sd->setAcceptMode(QFileDialog::AcceptSave);
  sd->setFileMode(QFileDialog::AnyFile);

  auto *v = new QVBoxLayout(this);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  v->addWidget(panel);
  v->addWidget(Layout, 1);
  resize(340, 420);
}

QTreeWidgetItem *TfrmUDFVolumeLayout::AddDirectoryNode(QTreeWidgetItem *parent,
                                                       const QString &name) {
  auto *node = new QTreeWidgetItem(parent, QStringList{name});
  node->setData(0, kIconRole, main.FFolderIcon);
  node->setIcon(0, main.FTreeImages.value(main.FFolderIcon));
  parent->setExpanded(true);
  return node;
}

QTreeWidgetItem *TfrmUDFVolumeLayout::AddFileNode(QTreeWidgetItem *parent, const QString &name) {
  const int icon = main.FileIconIndex(name);
  auto *node = new QTreeWidgetItem(parent, QStringList{name});
  node->setData(0, kIconRole, icon);
  node->setIcon(0, main.FTreeImages.value(icon));
  parent->setExpanded(true);
  return node;
}

bool TfrmUDFVolumeLayout::ChildExists(QTreeWidgetItem *node, const QString &name) const {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == name) return true;
  return false;
}

bool TfrmUDFVolumeLayout::IsDirectoryNode(QTreeWidgetItem *node) const {
  return node && node->data(0, kIconRole).toInt() == main.FFolderIcon;
}

QString TfrmUDFVolumeLayout::NodeToVolumePath(QTreeWidgetItem *node) const {
  if (!node || IsRootNode(node)) return QStringLiteral("\\");
  QString path;
  for (QTreeWidgetItem *n = node; n && !IsRootNode(n); n = n->parent())
    path.prepend(QLatin1Char('\\') + n->text(0));
  if (IsDirectoryNode(node)) path.append(QLatin1Char('\\'));
  return path;
}

void TfrmUDFVolumeLayout::ClearTree() {
  QTreeWidgetItem *root = Root();
  for (QTreeWidgetItem *child : root->takeChildren())
    delete child;
  if (FActionNode != root) FActionNode = nullptr;
  FDropTargetNode = root;
}

void TfrmUDFVolumeLayout::RefreshStatistics() {
  TKorva &korva = main.korva;
  lblTotalBlocksOfLogicalVolume->setText(
      QString::number(korva.UDF_GetTotalBlocksOfLogicalVolume()));
  lblFreeBlocksOfLogicalVolume->setText(QString::number(korva.UDF_GetFreeBlocksOfLogicalVolume()));
  lblDirCount->setText(QString::number(korva.UDF_GetDirCount()));
  lblFileCount->setText(QString::number(korva.UDF_GetFileCount()));
}

void TfrmUDFVolumeLayout::showEvent(QShowEvent *event) {
  RefreshStatistics();
  QDialog::showEvent(event);
}

void TfrmUDFVolumeLayout::PrepareContextMenu() {
  FActionNode = nullptr;
  mnuiExtractFile->setEnabled(false);
  mnuiDeleteFile->setEnabled(false);
  mnuiRemoveDirectory->setEnabled(false);
  const QList<QTreeWidgetItem *> selected = Layout->selectedItems();
  QTreeWidgetItem *node = selected.isEmpty() ? nullptr : selected.constFirst();
  if (!node || IsRootNode(node)) return;
  if (!IsDirectoryNode(node)) {
    FActionNode = node;
    mnuiExtractFile->setEnabled(true);
    mnuiDeleteFile->setEnabled(true);
  } else if (node->childCount() == 0) {
    FActionNode = node;
    mnuiRemoveDirectory->setEnabled(true);
  }
}

void TfrmUDFVolumeLayout::ExtractFile() {
  if (!FActionNode) return;
  sd->selectFile(FActionNode->text(0));
  if (sd->exec() == QDialog::Accepted && !sd->selectedFiles().isEmpty())
    ExtractFileTo(sd->selectedFiles().constFirst());
}

void TfrmUDFVolumeLayout::ExtractFileTo(const QString &localPath) {
  if (!FActionNode) return;
  FExtractPath = localPath;
  main.StartOperation(okExtractFile);
}

void TfrmUDFVolumeLayout::DeleteFile() {
  if (FActionNode) main.StartOperation(okDeleteFile);
}

void TfrmUDFVolumeLayout::RemoveDirectory() {
  if (FActionNode) main.StartOperation(okRemoveDirectory);
}
