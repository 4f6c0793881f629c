// stowline-cli restore: restores a backup image onto a volume, with the rules,
// the question, the progress and the result of the restore page.
#include <cstdio>
#include <string>

#include "cli/DestinationCommand.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli restore IMAGE DEST [--yes] [--quiet] [--no-repair]\n"
    "       [--verify]\n"
    "\n"
    "Restores the backup image IMAGE onto DEST, a device or an existing regular\n"
    "file standing in for a volume. DEST is formatted as NTFS with the cluster\n"
    "size the image records, then the image's data is placed on it. DEST must not\n"
    "be mounted, hold the running system or hold IMAGE, and must offer the\n"
    "image's size plus a tenth. The whole image is checked before DEST is\n"
    "formatted; a damaged or incomplete image leaves DEST as it was. Refused\n"
    "while another task of this program uses DEST, which it holds until the\n"
    "restore and its repair have ended. Asks before it starts unless --yes is\n"
    "given; shows the progress each second; Ctrl-C stops the restore. A restore\n"
    "that fails or is stopped leaves DEST formatted as an empty volume.\n"
    "\n"
    "When the checksum file IMAGE.sums the backup wrote lies beside IMAGE, every\n"
    "block is checked against it before it is written, and the whole image at\n"
    "its end: a block that does not match fails the restore with error 29,\n"
    "naming the file record and the image's byte offset, and DEST is left an\n"
    "empty volume. A checksum file that is damaged or belongs to another image\n"
    "is refused before DEST is formatted. An image without one (written with\n"
    "--no-checksums or by an earlier version) restores unchecked, with a warning.\n"
    "\n"
    "With --verify, once the data is placed and DEST finalised, every piece of\n"
    "file data written is read back from DEST, bypassing the system's cache, and\n"
    "compared with the image's data by its XXH3 hash; the progress line reads\n"
    "\"Verifying\" meanwhile, and only a restore that reads back whole succeeds.\n"
    "The $MFT, its mirror and the $LogFile, which the end of the restore writes\n"
    "again, are not read back: the consistency checks at the end of the restore\n"
    "and the disk check cover them. A difference, or data that cannot be read\n"
    "back, fails the restore with error 36, naming DEST's byte offset and the\n"
    "file record; the disk check and the boot repair do not run then. The\n"
    "read-back adds about the time it takes to read DEST's used space.\n"
    "\n"
    "After a restore that succeeded, DEST is checked (ntfsfix), the drive letter\n"
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
    "Exit status: 0 when the partition is restored, the engine's error code when\n"
    "the restore failed (25 when it was stopped), 1 when it was refused, 2 for a\n"
    "usage error, 100 when the boot repair failed, 101 when the disk check failed\n"
    "or could not run, 102 when DEST did not reopen after it (all listed below).\n"
    "\n"
    "  --yes     do not ask for confirmation\n"
    "  --quiet   show no progress\n"
    "  --no-repair  skip the disk check and the boot repair\n"
    "  --verify  read back what was written and compare it (see above)\n"
    "  --help    show this text\n";

}  // namespace

int RunRestore(const Args& given) {
  return RunDestinationCommand(given, "restore", kUsage, tasks::kBackupPercentFormat,
                               engine::TaskKind::kRestore);
}

}  // namespace stow::cli
