#include "volume/medium/geometry.h"

namespace korva {

void InstallGeometry(TUDFRewritableVolume &v, const VolumeGeometry &g) {
  v.MainVDSSector = g.MainVDS;
  v.ReserveVDSSector = g.ReserveVDS;
  v.IntegritySector = g.IntegritySector;
  v.SparingTableSector1 = g.SparingTable1;
  v.SparingTableSector2 = g.SparingTable2;
  v.PartitionStart = g.PartitionStart;
  v.PartitionLength = g.PartitionLength;
  v.SpaceBitmapSector = g.PartitionStart + g.BitmapBlock;
  v.SpaceBitmapBlocks = g.BitmapBlocks;
  v.FileSetSector = g.PartitionStart + g.FileSetBlock;
}

} // namespace korva
