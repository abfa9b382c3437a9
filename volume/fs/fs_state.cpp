// Creation and release of the file-system lists of a mounted volume.
#include "volume/fs/fs_state.h"

#include "korva/volume.h"

namespace korva {

void CreateFileSystemLists(void *&pending, void *&openFiles, void *&findHandles) {
  ReleaseFileSystemLists(pending, openFiles, findHandles);
  pending = new PendingExtentList();
  openFiles = new OpenFileList();
  findHandles = new FindHandleList();
}

void ReleaseFileSystemLists(void *&pending, void *&openFiles, void *&findHandles) {
  delete static_cast<PendingExtentList *>(pending);
  delete static_cast<OpenFileList *>(openFiles);
  delete static_cast<FindHandleList *>(findHandles);
  pending = nullptr;
  openFiles = nullptr;
  findHandles = nullptr;
}

void CreateFileSystemState(TUDFRewritableVolume &v) {
  CreateFileSystemLists(v.PendingExtents, v.OpenFiles, v.FindHandles);
}

void ReleaseFileSystemState(TUDFRewritableVolume &v) {
  ReleaseFileSystemLists(v.PendingExtents, v.OpenFiles, v.FindHandles);
}

OpenFileList *OpenFilesOf(TUDFRewritableVolume &v) {
  return static_cast<OpenFileList *>(v.OpenFiles);
}
FindHandleList *FindHandlesOf(TUDFRewritableVolume &v) {
  return static_cast<FindHandleList *>(v.FindHandles);
}
PendingExtentList *PendingExtentsOf(TUDFRewritableVolume &v) {
  return static_cast<PendingExtentList *>(v.PendingExtents);
}

} // namespace korva
