// stowline-cli inspect: shows an image file's header and the survey of all its
// blocks (engine/ImageSurvey), the same one a restore makes before it formats.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "engine/ImageFormat.h"
#include "engine/ImageSurvey.h"
#include "platform/BlockDevice.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli inspect IMAGE [--json]\n"
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
    "  --json   print the result as one JSON object\n"
    "  --help   show this text\n";

using Summary = engine::ImageSurvey;

std::string LetterText(uint8_t letter) {
  if (letter >= 'A' && letter <= 'Z') return std::string(1, static_cast<char>(letter));
  if (letter >= 'a' && letter <= 'z') return std::string(1, static_cast<char>(letter - 'a' + 'A'));
  return "";
}

void PrintJson(const std::string& path, const Summary& s) {
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

}  // namespace

int RunInspect(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool json = false;
  std::string path;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
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
  if (json) {
    PrintJson(path, s);
  } else {
    PrintText(path, s);
  }
  if (!s.ok) {
    return Fail(1, "inspect: " + path + (s.Incomplete() ? " is incomplete: " : " is damaged: ") +
                       s.faultText);
  }
  return 0;
}

}  // namespace stow::cli
