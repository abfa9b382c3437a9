// Command line of the korva tool.
#include "args.h"

#include "text.h"

#include <cctype>
#include <cstring>

namespace korvacli {

// Option letters used in CommandInfo::options:
//   L --label  q --quick  s --size  j --json  l -l  R -R  p -p  f -f
const std::vector<CommandInfo> &Commands() {
  static const std::vector<CommandInfo> table = {
      {"format", TargetKind::Volume, 0, 0, "Lqs", "format [--label TEXT] [--quick] [--size MiB]",
       "make a new, empty UDF volume",
       "Writes an empty UDF 1.50 volume. An image file that does not exist is created with\n"
       "--size MiB (default 100). On a drive, a full format first formats the medium\n"
       "physically (with a progress bar); --quick skips that on a medium already formatted\n"
       "for packet writing. The label has at most 15 characters (default KORVA).\n"},
      {"info", TargetKind::Volume, 0, 0, "j", "info [--json]", "show label, space and counts",
       "Shows the label, whether the volume is usable, total and free space in blocks and\n"
       "bytes, the number of files and directories and, for a drive, the medium.\n"},
      {"check", TargetKind::Volume, 0, 0, "j", "check [--json]", "look for damage, change nothing",
       "Follows the whole volume from its anchor and reports every problem it finds, one\n"
       "line each: a volume left open by a program that did not close it, a space bitmap\n"
       "that disagrees with the blocks in use, wrong counts, damaged entries, loops. Mounts\n"
       "read-only and writes nothing, so a medium that cannot be written is checked too.\n"
       "Exit status 0 when the volume is clean, 1 when there are problems or it cannot be\n"
       "read.\n"},
      {"repair", TargetKind::Volume, 0, 0, "j", "repair [--json]", "make a damaged volume usable",
       "Mends what check finds on a volume Korva formatted: rebuilds the space bitmap from\n"
       "the blocks in use, recounts files and directories, drops directory entries whose\n"
       "file entries are damaged, corrects lengths beyond a file's data, and closes the\n"
       "volume. Sound files are never deleted or shortened. Prints each change. Exit status\n"
       "0 when the volume is usable afterwards.\n"},
      {"ls", TargetKind::Volume, 0, 1, "lRj", "ls [PATH] [-l] [-R] [--json]", "list a directory",
       "Lists the directory PATH (default /), or the file PATH. -l adds type, attributes,\n"
       "size and modification time; -R descends into subdirectories.\n"},
      {"mkdir", TargetKind::Volume, 1, -1, "p", "mkdir PATH... [-p]", "create directories",
       "Creates each directory PATH. -p creates missing parents as well and accepts\n"
       "directories that exist already.\n"},
      {"put", TargetKind::Volume, 2, -1, "", "put LOCAL... DEST", "copy local files and trees in",
       "Copies each LOCAL file or directory tree into the volume. When DEST is an existing\n"
       "directory, each LOCAL goes into it under its own name; otherwise DEST is the new\n"
       "name of the single LOCAL. Existing files are replaced. Data is streamed in chunks,\n"
       "so files of any size can be copied. If the copy stops, korva says what was written.\n"},
      {"get", TargetKind::Volume, 2, 2, "", "get PATH LOCAL", "copy a file or tree out",
       "Copies the file or directory tree PATH to LOCAL. When LOCAL is an existing\n"
       "directory, PATH goes into it under its own name. Existing local files are replaced.\n"},
      {"rm", TargetKind::Volume, 1, -1, "", "rm PATH...", "delete files",
       "Deletes each file PATH. Directories are removed with rmdir.\n"},
      {"rmdir", TargetKind::Volume, 1, -1, "", "rmdir PATH...", "remove empty directories",
       "Removes each directory PATH; it must be empty.\n"},
      {"mv", TargetKind::Volume, 2, 2, "j", "mv SRC DEST [--json]", "move or rename an entry",
       "Moves the file or directory SRC to DEST, keeping its data. When DEST is an existing\n"
       "directory, SRC goes into it under its own name; otherwise DEST is its new path and\n"
       "its parent must exist. A file that is there already is replaced, and so is an empty\n"
       "directory when SRC is a directory. A directory cannot move into itself. --json\n"
       "prints where the entry went.\n"},
      {"cat", TargetKind::Volume, 1, -1, "", "cat PATH...", "write files to standard output", ""},
      {"mount", TargetKind::Volume, 1, 1, "f", "mount MOUNTPOINT [-f] [--read-only]",
       "use the volume as a Linux file system",
       "Linux only. Mounts the volume at the directory MOUNTPOINT through FUSE, so that any program can\n"
       "use it; korva returns once the file system is ready and serves it in the\n"
       "background (-f: in the foreground, Ctrl-C unmounts). 'fusermount3 -u MOUNTPOINT'\n"
       "writes out what is pending, closes the volume and ends korva. Writes are gathered\n"
       "and go to the medium in whole packets. --read-only writes nothing at all.\n"
       "A mount that is killed instead of unmounted leaves the volume open; 'korva repair'\n"
       "restores it. Mounted by root, entries keep the owners they record (chown works);\n"
       "otherwise they belong to the mounting user. Hard and symbolic links, FIFOs, sockets\n"
       "and device files are stored as UDF stores them; extended attributes are not.\n"},
      {"drives", TargetKind::Drives, 0, 0, "j", "drives [--json]", "list the optical drives",
       "Lists the drives Korva can use with their index and letter. With --aspi MODULE the\n"
       "drives of that module are listed instead of the system's.\n"},
      {"drive-info", TargetKind::Drive, 0, 0, "j", "drive-info [--json]",
       "show what a drive can do", ""},
      {"erase", TargetKind::Drive, 0, 0, "q", "erase [--quick]", "erase the disc in the drive",
       "Erases the rewritable disc in the drive (--quick: only its start). Afterwards it holds\n"
       "no volume until it is formatted.\n"},
      {"eject", TargetKind::Drive, 0, 0, "", "eject", "open the tray", ""},
      {"load", TargetKind::Drive, 0, 0, "", "load", "close the tray", ""},
      {"lock", TargetKind::Drive, 0, 0, "", "lock", "prevent removal of the medium", ""},
      {"unlock", TargetKind::Drive, 0, 0, "", "unlock", "allow removal of the medium", ""},
      {"speed", TargetKind::Drive, 1, 1, "", "speed KBPS|max", "set the drive's speed",
       "Asks the drive for KBPS kilobytes per second (176 = 1x CD, 1385 = 1x DVD) for reading\n"
       "and writing, or for its maximum. The drive picks the nearest speed it supports.\n"},
      {"help", TargetKind::None, 0, 1, "", "help [COMMAND]", "show help", ""},
  };
  return table;
}

const CommandInfo *FindCommand(const std::string &name) {
  for (const auto &c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

namespace {

// What an option does to the options: sets a flag, stores its text, or checks and stores its
// value (false with the error when the value is not one).
using OptionCheck = bool (*)(const std::string &value, Options &opt, std::string &error);

struct OptionSpec {
  const char *longName; // without "--"
  char shortName;       // 0: none
  char letter;          // letter in CommandInfo::options; 0: global option
  bool takesValue;
  bool Options::*flag = nullptr;
  std::string Options::*text = nullptr;
  bool Options::*given = nullptr; // set as well when the option is given
  OptionCheck check = nullptr;
};

bool CheckImage(const std::string &value, Options &opt, std::string &error) {
  if (value.empty()) {
    error = "--image needs a file name";
    return false;
  }
  opt.image = value;
  return true;
}

bool CheckSize(const std::string &value, Options &opt, std::string &error) {
  auto size = ParseNumber(value, 1, 65535);
  if (!size) {
    error = "--size takes a whole number of MiB from 1 to 65535, not '" + value + "'";
    return false;
  }
  opt.sizeMiB = static_cast<uint16_t>(*size);
  opt.sizeGiven = true;
  return true;
}

const OptionSpec kOptions[] = {
    {"image", 'i', 0, true, nullptr, nullptr, nullptr, CheckImage},
    {"drive", 'd', 0, true, nullptr, &Options::drive},
    {"aspi", 0, 0, true, nullptr, &Options::aspi},
    {"trace", 0, 0, true, nullptr, &Options::trace},
    {"help", 'h', 0, false, &Options::help},
    {"version", 0, 0, false, &Options::version},
    {"label", 0, 'L', true, nullptr, &Options::label, &Options::labelGiven},
    {"quick", 0, 'q', false, &Options::quick},
    {"size", 0, 's', true, nullptr, nullptr, nullptr, CheckSize},
    {"json", 0, 'j', false, &Options::json},
    {"long", 'l', 'l', false, &Options::longFormat},
    {"recursive", 'R', 'R', false, &Options::recursive},
    {"parents", 'p', 'p', false, &Options::parents},
    {"foreground", 'f', 'f', false, &Options::foreground},
    {"read-only", 0, 0, false, &Options::readOnly},
};

const OptionSpec *FindLong(const std::string &name) {
  for (const auto &o : kOptions)
    if (name == o.longName) return &o;
  return nullptr;
}

const OptionSpec *FindShort(char c) {
  for (const auto &o : kOptions)
    if (o.shortName == c) return &o;
  return nullptr;
}

std::string Display(const OptionSpec &o) {
  return o.shortName != 0 ? std::string("-") + o.shortName : std::string("--") + o.longName;
}

// Reads the words of a command line one at a time, keeping what they amount to.
class Parser {
public:
  explicit Parser(const std::vector<std::string> &argv) : argv_(argv) {}

  // False with result.error set at the first word that is not valid.
  bool ReadWords() {
    bool optionsEnded = false;
    for (i_ = 0; i_ < argv_.size(); ++i_) {
      const std::string &a = argv_[i_];
      if (optionsEnded || a.size() < 2 || a[0] != '-') {
        positional.push_back(a);
      } else if (a == "--") {
        optionsEnded = true;
      } else if (!(a[1] == '-' ? ReadLong(a.substr(2)) : ReadShort(a))) {
        return false;
      }
    }
    return true;
  }

  ParseResult result;
  std::vector<std::string> positional;
  std::vector<const OptionSpec *> commandOptions;

private:
  bool Apply(const OptionSpec &o, const std::string &value) {
    Options &opt = result.options;
    if (o.check && !o.check(value, opt, result.error)) return false;
    if (o.flag) opt.*o.flag = true;
    if (o.text) opt.*o.text = value;
    if (o.given) opt.*o.given = true;
    if (o.letter != 0) commandOptions.push_back(&o);
    return true;
  }

  bool Fail(const std::string &error) {
    result.error = error;
    return false;
  }

  // "--name", "--name=value" or "--name value".
  bool ReadLong(std::string name) {
    std::string value;
    const size_t eq = name.find('=');
    const bool hasValue = eq != std::string::npos;
    if (hasValue) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const OptionSpec *o = FindLong(name);
    if (o == nullptr) return Fail("unknown option '--" + name + "'");
    if (o->takesValue && !hasValue) {
      if (i_ + 1 >= argv_.size()) return Fail("option '--" + name + "' needs a value");
      value = argv_[++i_];
    } else if (!o->takesValue && hasValue) {
      return Fail("option '--" + name + "' takes no value");
    }
    return Apply(*o, value);
  }

  // One or more short options: "-lR", "-i FILE", "-iFILE".
  bool ReadShort(const std::string &a) {
    for (size_t k = 1; k < a.size(); ++k) {
      const OptionSpec *o = FindShort(a[k]);
      if (o == nullptr) return Fail(std::string("unknown option '-") + a[k] + "'");
      if (!o->takesValue) {
        if (!Apply(*o, "")) return false;
        continue;
      }
      if (k + 1 < a.size()) return Apply(*o, a.substr(k + 1));
      if (i_ + 1 >= argv_.size()) return Fail(std::string("option '-") + a[k] + "' needs a value");
      return Apply(*o, argv_[++i_]);
    }
    return true;
  }

  const std::vector<std::string> &argv_;
  size_t i_ = 0;
};

// Whether the options given fit the command: its own options, its argument count, the
// target it needs. The first misfit, or an empty text.
std::string Misfit(const CommandInfo &cmd, const Options &opt,
                   const std::vector<const OptionSpec *> &commandOptions) {
  for (const OptionSpec *o : commandOptions)
    if (std::strchr(cmd.options, o->letter) == nullptr)
      return "option '" + Display(*o) + "' does not apply to '" + opt.command + "'";
  const int n = static_cast<int>(opt.args.size());
  if (n < cmd.minArgs) return "'" + opt.command + "' needs more arguments";
  if (cmd.maxArgs >= 0 && n > cmd.maxArgs) return "too many arguments for '" + opt.command + "'";
  if (!opt.image.empty() && !opt.drive.empty()) return "give either --image or --drive, not both";
  return {};
}

std::string TargetMisfit(const CommandInfo &cmd, const Options &opt) {
  switch (cmd.target) {
  case TargetKind::Volume:
    if (opt.image.empty() && opt.drive.empty())
      return "'" + opt.command + "' needs a target: --image FILE or --drive LETTER|INDEX";
    break;
  case TargetKind::Drive:
    if (opt.drive.empty()) return "'" + opt.command + "' needs a drive: --drive LETTER|INDEX";
    break;
  case TargetKind::Drives:
    if (!opt.image.empty()) return "'" + opt.command + "' works on drives, not on an image";
    break;
  case TargetKind::None:
    break;
  }
  return {};
}

// Options that apply to one kind of target only, and the command help asks about.
std::string TargetOptionMisfit(const Options &opt) {
  if (!opt.image.empty() && (!opt.aspi.empty() || !opt.trace.empty()))
    return "--aspi and --trace apply to drives, not to an image";
  if (opt.sizeGiven && opt.image.empty()) return "--size applies to a new image file only";
  if (opt.command == "help" && opt.args.size() == 1 && FindCommand(opt.args[0]) == nullptr)
    return "unknown command '" + opt.args[0] + "'";
  return {};
}

} // namespace

ParseResult ParseCommandLine(const std::vector<std::string> &argv) {
  Parser parser(argv);
  ParseResult &result = parser.result;
  Options &opt = result.options;
  if (!parser.ReadWords()) return result;
  const std::vector<std::string> &positional = parser.positional;
  if (opt.version || (opt.help && positional.empty())) return result;
  if (positional.empty()) {
    result.error = "no command given";
    return result;
  }
  opt.command = positional.front();
  opt.args.assign(positional.begin() + 1, positional.end());
  const CommandInfo *cmd = FindCommand(opt.command);
  if (cmd == nullptr) {
    result.error = "unknown command '" + opt.command + "'";
    return result;
  }
  // "korva COMMAND --help" shows that command's help, whatever else is there.
  if (opt.help) return result;
  result.error = Misfit(*cmd, opt, parser.commandOptions);
  if (result.error.empty()) result.error = TargetMisfit(*cmd, opt);
  if (result.error.empty()) result.error = TargetOptionMisfit(opt);
  return result;
}

std::string GeneralHelp() {
  std::string text =
      "Usage: korva [TARGET] COMMAND [ARGS...] [OPTIONS]\n"
      "\n"
      "Formats UDF volumes on image files and rewritable discs and uses them as a file\n"
      "system. Each command mounts the volume, does its work and closes the volume again,\n"
      "so the volume is consistent after every command.\n"
      "\n"
      "Targets:\n"
      "  -i, --image FILE     an image file (created by 'format' when missing)\n"
      "  -d, --drive X        a drive, by letter (korva drives lists them) or index\n"
#if defined(_WIN32)
      "      --aspi MODULE    use an ASPI-style module (e.g. korva_vdrive.dll) for drives;\n"
      "                       without it WNASPI32.DLL is tried when pass-through finds none\n"
#else
      "      --aspi MODULE    use an ASPI-style module (e.g. libkorva_vdrive.so) for drives\n"
#endif
      "      --trace FILE     write a line per drive command to FILE\n"
      "      --read-only      write nothing at all to the volume (changes then fail);\n"
      "                       a medium that cannot be written is used this way anyway\n"
      "\n"
      "Commands:\n";
  for (const auto &c : Commands()) {
    std::string line = "  " + std::string(c.synopsis);
    if (line.size() < 48)
      line.resize(48, ' ');
    else
      line += "\n" + std::string(48, ' ');
    text += line + c.summary + "\n";
  }
  text += "\n"
          "Volume paths take '/' or '\\' as separator. 'korva COMMAND --help' explains a\n"
          "command. Exit status: 0 success, 1 an operation failed, 2 a usage error.\n"
#if defined(_WIN32)
          "On Windows, 'mount' is not available (it needs FUSE, which korva uses on Linux).\n"
#endif
          ;
  return text;
}

std::string CommandHelp(const CommandInfo &command) {
  std::string text = "Usage: korva ";
  switch (command.target) {
  case TargetKind::Volume:
    text += "(-i FILE | -d DRIVE) ";
    break;
  case TargetKind::Drive:
    text += "-d DRIVE [--aspi MODULE] ";
    break;
  case TargetKind::Drives:
    text += "[--aspi MODULE] ";
    break;
  case TargetKind::None:
    break;
  }
  text += std::string(command.synopsis) + "\n\n";
  // The details say everything the one-line summary says, and more.
  if (command.details[0] != '\0')
    text += command.details;
  else
    text += std::string(1, static_cast<char>(std::toupper(command.summary[0]))) +
            (command.summary + 1) + ".\n";
  return text;
}

} // namespace korvacli
