// Command line of the korva tool: the commands, their options and their help texts.
#ifndef KORVA_TOOLS_ARGS_H
#define KORVA_TOOLS_ARGS_H

#include <cstdint>
#include <string>
#include <vector>

namespace korvacli {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// What a command works on.
enum class TargetKind {
  None,   // no target (help)
  Volume, // an image or a drive, mounted
  Drive,  // a selected drive, not mounted
  Drives, // the drive table only
};

struct CommandInfo {
  const char *name;
  TargetKind target;
  int minArgs;
  int maxArgs;         // -1: any number
  const char *options; // the command's own options, e.g. "lRj"
  const char *synopsis;
  const char *summary;
  const char *details;
};

// Every command, in the order the help lists them.
const std::vector<CommandInfo> &Commands();
const CommandInfo *FindCommand(const std::string &name);

struct Options {
  std::string command;
  std::vector<std::string> args;

  // Target.
  std::string image;
  std::string drive; // letter or index
  std::string aspi;  // ASPI-style module to load instead of the system's pass-through
  std::string trace; // command trace file
  uint16_t sizeMiB = 100;
  bool sizeGiven = false;
  bool readOnly = false; // mount read-only: nothing is written to the medium

  // Command options.
  std::string label = "KORVA";
  bool labelGiven = false;
  bool quick = false;
  bool json = false;
  bool longFormat = false;
  bool recursive = false;
  bool parents = false;
  bool foreground = false;

  bool help = false;
  bool version = false;
};

struct ParseResult {
  Options options;
  std::string error; // empty when the command line is valid
};

// Options may stand before or after the command; "--" ends them.
ParseResult ParseCommandLine(const std::vector<std::string> &argv);

std::string GeneralHelp();
std::string CommandHelp(const CommandInfo &command);

} // namespace korvacli

#endif
