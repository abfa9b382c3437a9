// Creation and release of the file-system lists of a mounted volume.
#include "volume/fs/fs_state.h"

#include "korva/volume.h"
#include "volume/engine_state.h"

namespace korva {

void DestroyPart(PendingExtentList *part) {
  delete part;
}
void DestroyPart(OpenFileList *part) {
  delete part;
}
void DestroyPart(FindHandleList *part) {
  delete part;
}

void CreateFileSystemState(TUDFRewritableVolume &v) {
  EngineState &e = EngineOf(v);
  e.PendingExtents.reset(new PendingExtentList());
  e.OpenFiles.reset(new OpenFileList());
  e.FindHandles.reset(new FindHandleList());
}

void ReleaseFileSystemState(TUDFRewritableVolume &v) {
  DropPart(v, &EngineState::PendingExtents);
  DropPart(v, &EngineState::OpenFiles);
  DropPart(v, &EngineState::FindHandles);
}

OpenFileList *OpenFilesOf(TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::OpenFiles);
}
FindHandleList *FindHandlesOf(TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::FindHandles);
}
PendingExtentList *PendingExtentsOf(TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::PendingExtents);
}

} // namespace korva
