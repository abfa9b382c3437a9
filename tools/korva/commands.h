// The commands of the korva tool. Each returns an exit status.
#ifndef KORVA_TOOLS_COMMANDS_H
#define KORVA_TOOLS_COMMANDS_H

#include "session.h"

namespace korvacli {

int RunCommand(const Options &options);

} // namespace korvacli

#endif
