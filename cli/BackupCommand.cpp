// stowline-cli backup: backs an NTFS volume up into an image file, with the
// question, the progress and the result of the backup page: the same task
// steps, shown on a terminal or as plain lines.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/TaskConsole.h"
#include "engine/core/TaskError.h"
#include "engine/transfer/TaskState.h"
#include "platform/Console.h"
#include "tasks/Courses.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli backup SOURCE IMAGE [--yes] [--quiet] [--verify | --no-checksums]\n"
    "\n"
    "Backs the NTFS volume SOURCE (a device or an image file of a volume) up into\n"
    "the image file IMAGE, moving only the clusters its files use. When IMAGE is\n"
    "an existing folder, the image gets the default name (prefix, date, suffix)\n"
    "in it. IMAGE must not lie on SOURCE or behind it (the file behind its loop\n"
    "device), and must be a regular file if it exists. The image is written\n"
    "beside IMAGE under a hidden temporary name and replaces an existing file\n"
    "only once it is complete and on the disk. Asks before it starts unless --yes\n"
    "is given; shows the progress each second; Ctrl-C stops the backup and\n"
    "deletes the unfinished image, leaving an existing IMAGE as it was. Refused\n"
    "while another task of this program writes SOURCE.\n"
    "\n"
    "SOURCE must not be mounted read-write, since it could change while it is\n"
    "read: unmount it or remount it read-only (mount -o remount,ro) first; a\n"
    "read-only mount is fine. Before anything is written, every file record of\n"
    "SOURCE is checked as a restore would check it; a damaged record or run list,\n"
    "or a cluster that two files claim, refuses the backup with the record's\n"
    "number: run a disk check on Windows (chkdsk /f) on SOURCE first.\n"
    "\n"
    "Beside the image the backup writes its checksum file IMAGE.sums (a checksum\n"
    "of every block), once the image is complete; a restore checks every block\n"
    "against it before it writes it, and `inspect IMAGE --verify` checks the\n"
    "whole image. Keep the two files together. With --verify the finished image\n"
    "is read back from the disk and checked against it before the backup is\n"
    "reported complete; an image that fails is kept but must not be trusted:\n"
    "repeat the backup (exit status 29).\n"
    "\n"
    "Exit status: 0 when the backup is completed, the engine's error code when it\n"
    "failed (25 when it was stopped), 1 when it was refused, 2 for a usage error\n"
    "(all listed below).\n"
    "\n"
    "  --yes     do not ask for confirmation\n"
    "  --quiet   show no progress\n"
    "  --verify  read the finished image back from the disk and check it\n"
    "  --no-checksums  write no checksum file: faster, but the image's contents\n"
    "            then cannot be verified, by a restore or by inspect --verify\n"
    "            (a checksum file of an earlier image at IMAGE is removed)\n"
    "  --help    show this text\n";

constexpr int kRefused = 1;

struct Options {
  std::string source;
  std::string image;
  bool yes = false;
  bool quiet = false;
  bool verify = false;
  bool noChecksums = false;
};

bool ParseArgs(const Args& args, Options& options, int& status) {
  for (const std::string& a : args) {
    if (a == "--yes" || a == "-y") {
      options.yes = true;
    } else if (a == "--quiet" || a == "-q") {
      options.quiet = true;
    } else if (a == "--verify") {
      options.verify = true;
    } else if (a == "--no-checksums") {
      options.noChecksums = true;
    } else if (!a.empty() && a[0] == '-') {
      status = UsageError("backup", "unknown option '" + a + "'");
      return false;
    } else if (options.source.empty()) {
      options.source = a;
    } else if (options.image.empty()) {
      options.image = a;
    } else {
      status = UsageError("backup", "more than SOURCE and IMAGE given: '" + a + "'");
      return false;
    }
  }
  if (options.image.empty()) {
    status = UsageError("backup", "SOURCE and IMAGE are required");
    return false;
  }
  if (options.verify && options.noChecksums) {
    status = UsageError("backup",
                        "--verify checks the image against its checksum file; it "
                        "cannot be given with --no-checksums");
    return false;
  }
  return true;
}

}  // namespace

int RunBackup(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options options;
  int status = 0;
  if (!ParseArgs(args, options, status)) return status;

  tasks::TaskDescription task;
  task.kind = engine::TaskKind::kBackup;
  task.source = options.source;
  task.image = options.image;
  task.checksums = !options.noChecksums;
  task.verify = options.verify;
  ConsoleFrontEnd frontEnd("backup", "back up", tasks::kBackupPercentFormat, options.yes,
                           options.quiet);
  const auto course = tasks::BuildCourse(task, engine::ProcessTaskState());
  const tasks::CourseEnd end = course->Run(frontEnd);
  if (!end.Ok()) return ReportCourseEnd("backup", *course, end, frontEnd);
  const std::string& image = course->Working().backup.imagePath;
  std::printf("%s\n", end.successText.c_str());
  if (!options.quiet) std::printf("Image: %s\n", image.c_str());
  if (options.verify && !options.quiet) std::printf("Verified: every block read back matches\n");
  if (options.noChecksums && !options.quiet) {
    std::printf("No checksum file was written: the image's contents cannot be verified.\n");
  }
  return 0;
}

}  // namespace stow::cli
