// stowline-cli inspect: shows an image file's header and the survey of all its
// blocks (engine/ImageSurvey), the same one a restore makes before it formats.
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/Json.h"
#include "cli/TaskConsole.h"
#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "engine/image/ImageSurvey.h"
#include "platform/BlockDevice.h"
#include "platform/Console.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli inspect IMAGE [--json] [--verify] [--quiet]\n"
    "\n"
    "Shows the header of the backup image IMAGE (source drive letter, Windows\n"
    "flag, cluster size, marker), counts its blocks and data bytes, takes the\n"
    "source's MFT record count from the first block, and checks the structure of\n"
    "the whole file: block markers, sequence numbers, data lengths, runs cut\n"
    "short, the header's cluster size, and that the blocks are exactly those its\n"
    "own MFT names (every run of every file record in use, in order, starting\n"
    "with the MFT itself). This is the check a restore makes before it formats\n"
    "its destination. A damaged or incomplete image is reported with the byte\n"
    "offset of its first fault (and, when blocks are missing, the first file\n"
    "record they belong to) and exit status 1.\n"
    "\n"
    "With --verify it then reads all the image's data and checks every block\n"
    "against the checksum file IMAGE.sums the backup wrote beside it; the first\n"
    "block that does not match is named by its file record and file offset, with\n"
    "exit status 1, as is a checksum file that is damaged or belongs to another\n"
    "image. An image without a checksum file (written with --no-checksums, or by\n"
    "an earlier version) cannot be verified: that is said plainly, and the exit\n"
    "status is 0 when its structure is sound. Ctrl-C stops the check (exit\n"
    "status 25).\n"
    "\n"
    "  --json   print the result as one JSON object\n"
    "  --verify read all data and check it against the checksum file\n"
    "  --quiet  show no progress while verifying\n"
    "  --help   show this text\n";

using Summary = engine::ImageSurvey;

std::string LetterText(uint8_t letter) {
  if (letter >= 'A' && letter <= 'Z') return std::string(1, static_cast<char>(letter));
  if (letter >= 'a' && letter <= 'z') return std::string(1, static_cast<char>(letter - 'a' + 'A'));
  return "";
}

// The outcome of --verify.
struct VerifyOutcome {
  bool requested = false;
  bool ran = false;  // not when the structure is already damaged
  engine::ImageVerification result;
};

std::string VerifyStatus(const VerifyOutcome& v) {
  if (!v.ran) return "not-run";
  if (!v.result.checksumsFound) return "no-checksum-file";
  return v.result.ok ? "ok" : "mismatch";
}

void PrintJson(const std::string& path, const Summary& s, const VerifyOutcome& v) {
  std::printf("{\n  \"image\": %s,\n  \"size\": %" PRIu64 ",\n", JsonString(path).c_str(),
              s.fileSize);
  if (s.headerRead) {
    std::printf(
        "  \"header\": {\"letter\": %s, \"letterByte\": %u, \"windows\": %s, "
        "\"clusterSize\": %u, \"marker\": %u},\n",
        JsonString(LetterText(s.header.letter)).c_str(), s.header.letter,
        s.header.windows ? "true" : "false", s.header.clusterSize, s.header.marker);
  } else {
    std::printf("  \"header\": null,\n");
  }
  std::printf("  \"blocks\": %" PRIu64 ",\n  \"dataBlocks\": %" PRIu64
              ",\n  \"sparseBlocks\": %" PRIu64 ",\n  \"dataBytes\": %" PRIu64
              ",\n  \"sparseBytes\": %" PRIu64 ",\n  \"progressSectors\": %" PRIu64 ",\n",
              s.blocks, s.dataBlocks, s.sparseBlocks, s.dataBytes, s.sparseBytes,
              s.progressSectors);
  if (s.recordCount) {
    std::printf("  \"recordCount\": %" PRIu64 ",\n", *s.recordCount);
  } else {
    std::printf("  \"recordCount\": null,\n");
  }
  if (s.firstMissingRecord) {
    std::printf("  \"firstMissingRecord\": %" PRIu64 ",\n", *s.firstMissingRecord);
  } else {
    std::printf("  \"firstMissingRecord\": null,\n");
  }
  std::printf("  \"ok\": %s,\n", s.ok ? "true" : "false");
  if (v.requested) {
    std::printf("  \"verify\": {\"status\": %s, \"checksumFile\": %s, \"bytesRead\": %" PRIu64,
                JsonString(VerifyStatus(v)).c_str(),
                JsonString(engine::ChecksumPathFor(path)).c_str(), v.result.bytesRead);
    if (v.ran && v.result.checksumsFound && !v.result.ok) {
      std::printf(", \"fault\": {\"offset\": %" PRIu64 ", \"message\": %s}", v.result.faultOffset,
                  JsonString(v.result.faultText).c_str());
    } else {
      std::printf(", \"fault\": null");
    }
    std::printf("},\n");
  }
  if (s.ok) {
    std::printf("  \"fault\": null\n}\n");
  } else {
    std::printf("  \"fault\": {\"kind\": %s, \"offset\": %" PRIu64 ", \"message\": %s}\n}\n",
                JsonString(s.faultKind).c_str(), s.faultOffset, JsonString(s.faultText).c_str());
  }
}

void PrintText(const std::string& path, const Summary& s) {
  std::printf("Image:            %s (%" PRIu64 " bytes)\n", path.c_str(), s.fileSize);
  if (s.headerRead) {
    const std::string letter = LetterText(s.header.letter);
    std::printf("Source letter:    %s\n", letter.empty() ? "(none)" : letter.c_str());
    std::printf("Windows system:   %s\n", s.header.windows ? "yes" : "no");
    std::printf("Cluster size:     %u bytes\n", s.header.clusterSize);
    std::printf("Marker:           0x%04X\n", static_cast<unsigned>(s.header.marker));
  }
  std::printf("Blocks:           %" PRIu64 " (%" PRIu64 " with data, %" PRIu64 " sparse)\n",
              s.blocks, s.dataBlocks, s.sparseBlocks);
  std::printf("Data bytes:       %" PRIu64 "\n", s.dataBytes);
  std::printf("Sparse bytes:     %" PRIu64 "\n", s.sparseBytes);
  if (s.recordCount) {
    std::printf("MFT records:      %" PRIu64 "\n", *s.recordCount);
  } else {
    std::printf("MFT records:      (not available)\n");
  }
  std::printf("Structure:        %s\n", s.ok ? "ok" : s.Incomplete() ? "INCOMPLETE" : "DAMAGED");
  if (s.firstMissingRecord) {
    std::printf("First missing:    file record %" PRIu64 "\n", *s.firstMissingRecord);
  }
}

void PrintVerifyText(const std::string& path, const VerifyOutcome& v) {
  if (!v.ran) return;
  if (!v.result.checksumsFound) {
    std::printf("Contents:         cannot be verified: no checksum file beside the image (%s)\n",
                engine::ChecksumPathFor(path).c_str());
  } else if (v.result.ok) {
    std::printf("Contents:         ok, every block matches its checksum (%" PRIu64 " bytes read)\n",
                v.result.bytesRead);
  } else {
    std::printf("Contents:         DAMAGED\n");
  }
}

}  // namespace

int RunInspect(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool json = false;
  bool quiet = false;
  VerifyOutcome verify;
  std::string path;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--verify") {
      verify.requested = true;
    } else if (a == "--quiet" || a == "-q") {
      quiet = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("inspect", "unknown option '" + a + "'");
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError("inspect", "more than one image given: '" + a + "'");
    }
  }
  if (path.empty()) {
    return UsageError("inspect", "no image given");
  }

  std::unique_ptr<platform::BlockDevice> file;
  const int error = platform::OpenBlockDevice(path, true, file);
  if (error != 0) {
    return Fail(1, "inspect: cannot open " + path + ": " + platform::SystemErrorText(error));
  }
  Summary s;
  engine::SurveyImage(*file, s);
  if (!json) PrintText(path, s);
  if (verify.requested && s.ok) {
    platform::CatchInterrupts();
    ReadProgress progress(quiet || json, "Verifying ");
    verify.result = engine::VerifyImageContents(*file, path, std::ref(progress));
    progress.End();
    verify.ran = true;
  }
  if (json) {
    PrintJson(path, s, verify);
  } else {
    PrintVerifyText(path, verify);
  }
  if (!s.ok) {
    return Fail(1, "inspect: " + path + (s.Incomplete() ? " is incomplete: " : " is damaged: ") +
                       s.faultText);
  }
  if (!verify.ran) return 0;
  if (!verify.result.checksumsFound) {
    std::fprintf(stderr,
                 "inspect: the contents of %s cannot be verified: no checksum file beside the "
                 "image (%s). Its structure is sound.\n",
                 path.c_str(), engine::ChecksumPathFor(path).c_str());
    return 0;
  }
  if (!verify.result.ok) {
    if (verify.result.faultText == "stopped") {
      return Fail(TaskExitStatus(engine::TaskError::kManualStop),
                  "inspect: the check of " + path + " was stopped");
    }
    return Fail(1, "inspect: " + path + " failed verification: " + verify.result.faultText +
                       ". Do not restore from it: use another copy of the image (with its "
                       "checksum file), or repeat the backup");
  }
  return 0;
}

}  // namespace stow::cli
