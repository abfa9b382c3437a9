// korva: formats UDF volumes on images and rewritable discs and uses them from the shell.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "local.h"

namespace {

void OnSignal(int) {
  korvacli::g_interrupted = 1;
}

} // namespace

int main(int argc, char **argv) {
  using namespace korvacli;
  std::vector<std::string> args(argv + 1, argv + argc);
  ParseResult parsed = ParseCommandLine(args);
  const Options &o = parsed.options;
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "korva: %s\nTry 'korva --help'.\n", parsed.error.c_str());
    return kExitUsage;
  }
  if (o.version) {
    TKorva korva;
    std::printf("%s\n", korva.Version().c_str());
    return kExitOk;
  }
  if (o.command.empty() || (o.command == "help" && o.args.empty())) {
    std::fputs(GeneralHelp().c_str(), stdout);
    return kExitOk;
  }
  if (o.command == "help" || o.help) {
    const CommandInfo *c = FindCommand(o.command == "help" ? o.args[0] : o.command);
    std::fputs(CommandHelp(*c).c_str(), stdout);
    return kExitOk;
  }
  // Stop at the next safe point instead of dying with the volume open; a closed pipe is
  // reported by write() instead of killing the process.
  InstallInterruptHandlers(OnSignal);
  return RunCommand(o);
}
