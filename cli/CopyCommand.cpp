// stowline-cli copy: copies an NTFS volume onto another, with the rules, the
// question, the progress and the result of the copy page.
#include <cstdio>
#include <string>

#include "cli/DestinationCommand.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli copy SOURCE DEST [--yes] [--quiet] [--no-repair]\n"
    "       [--verify]\n"
    "\n"
    "Copies the NTFS volume SOURCE onto DEST; each is a device or an existing\n"
    "regular file standing in for a volume. DEST is formatted as NTFS with the\n"
    "source's cluster size, then the data of the source's files is placed on it.\n"
    "DEST must not be SOURCE (under any name, nor a disk or file that holds it),\n"
    "be mounted or hold the running system. SOURCE's file table is read and\n"
    "DEST's size checked before DEST is formatted; a refusal leaves DEST as it\n"
    "was. Refused while another task of this program uses either volume. Asks\n"
    "before it starts unless --yes is given; shows the progress each second;\n"
    "Ctrl-C stops the copy. A copy that fails or is stopped leaves DEST formatted\n"
    "as an empty volume.\n"
    "\n"
    "SOURCE must not be mounted read-write (unmount it or remount it read-only:\n"
    "mount -o remount,ro); a read-only mount is fine. Every file record of SOURCE\n"
    "is checked before DEST is formatted; a damaged record or run list, or a\n"
    "cluster that two files claim, refuses the copy with the record's number and\n"
    "leaves DEST untouched: run a disk check on Windows (chkdsk /f) on SOURCE.\n"
    "\n"
    "With --verify, once the data is placed and DEST finalised, every piece of\n"
    "file data written is read back from DEST, bypassing the system's cache, and\n"
    "compared with the source's data by its XXH3 hash; the progress line reads\n"
    "\"Verifying\" meanwhile, and only a copy that reads back whole succeeds.\n"
    "The $MFT, its mirror and the $LogFile, which the end of the copy writes\n"
    "again, are not read back: the consistency checks at the end of the copy\n"
    "and the disk check cover them. A difference, or data that cannot be read\n"
    "back, fails the copy with error 36, naming DEST's byte offset and the\n"
    "file record; the disk check and the boot repair do not run then. The\n"
    "read-back adds about the time it takes to read DEST's used space.\n"
    "\n"
    "After a copy that succeeded, DEST is checked (ntfsfix), the drive letter\n"
    "its Windows system knew its source by is moved over to it, and when DEST\n"
    "holds a Windows system its disk's boot partition gets the boot files, boot\n"
    "configuration pointing at DEST and, on an MBR disk, the active flag.\n"
    "\n"
    "When a Windows system goes to a GPT disk without a FAT partition, an EFI\n"
    "system partition is split off behind DEST first (asked, or --yes): DEST\n"
    "shrinks by the room it needs (the split script beside the program). A\n"
    "Windows system whose disk has no partition for its boot files fails\n"
    "with 100.\n"
    "\n"
    "Exit status: 0 when the partition is copied, the engine's error code when\n"
    "the copy failed (25 when it was stopped), 1 when it was refused, 2 for a\n"
    "usage error, 100 when the boot repair failed, 101 when the disk check failed\n"
    "or could not run, 102 when DEST did not reopen after it (all listed below).\n"
    "\n"
    "  --yes     do not ask for confirmation\n"
    "  --quiet   show no progress\n"
    "  --no-repair  skip the disk check and the boot repair\n"
    "  --verify  read back what was written and compare it (see above)\n"
    "  --help    show this text\n";

}  // namespace

int RunCopy(const Args& given) {
  return RunDestinationCommand(given, "copy", kUsage, tasks::kCopyPercentFormat,
                               engine::TaskKind::kCopy);
}

}  // namespace stow::cli
