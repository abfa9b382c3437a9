// korva mount: the volume as a Linux file system through FUSE.
#ifndef KORVA_TOOLS_MOUNT_H
#define KORVA_TOOLS_MOUNT_H

#include "session.h"

namespace korvacli {

int CmdMount(Session &s);

} // namespace korvacli

#endif
