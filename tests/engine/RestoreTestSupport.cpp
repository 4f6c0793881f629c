#include "tests/engine/RestoreTestSupport.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>

#include "engine/image/ImageFormat.h"
#include "engine/transfer/TaskThreads.h"
#include "platform/VolumeId.h"

namespace stow::test {
namespace {

using engine::TaskState;
using engine::TaskThreads;

constexpr uint64_t kMiB = 1024 * 1024;

engine::TaskError RunToEnd(TaskState& state, engine::StartResult started) {
  if (started != engine::kStartOk) {
    ADD_FAILURE() << "the task did not start: start result " << ToInt(started);
    return engine::TaskError::kUnknown;
  }
  state.WaitForWorkers();
  return state.ErrorCode();
}

// Lines of a checker's output that say it found something wrong.
std::string Complaints(const std::string& output) {
  static const std::regex bad(
      "fail|error|corrupt|mismatch|does not|incorrect|fixing|fixed|repair|inconsisten|bad "
      "sector|unclean|dirty|warning",
      std::regex::icase);
  std::string found;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    if (std::regex_search(line, bad)) found += line + "\n";
    start = end + 1;
  }
  return found;
}

// The contents of stress file `index` of `size` bytes: a cheap generator seeded
// by the index, so that a misplaced cluster never reads back right.
std::string StressContent(uint64_t index, uint64_t size) {
  std::string data(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull * (index + 1);
  for (uint64_t i = 0; i < size; ++i) {
    if (i % 8 == 0) x = x * 6364136223846793005ull + 1442695040888963407ull;
    data[i] = static_cast<char>((x >> (8 * (i % 8))) & 0xFF);
  }
  return data;
}

// Sizes from a few bytes (resident) to 1.5 MiB, in a fixed pattern.
uint64_t StressSize(uint64_t index) {
  static const uint64_t sizes[] = {37, 4096, 70000, 300000, 1536 * 1024, 9000, 123457};
  return sizes[index % (sizeof sizes / sizeof sizes[0])];
}

bool FileHolds(const fs::path& path, const std::string& expected) {
  std::ifstream in(path, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return data == expected;
}

}  // namespace

bool MakeNtfsVolume(const fs::path& path, uint64_t sizeMiB, uint32_t clusterSize,
                    const std::string& label) {
  MakeSparseFile(path, sizeMiB * kMiB);
  return Run({"mkntfs", "--fast", "--force", "--quiet", "--cluster-size",
              std::to_string(clusterSize), "--label", label, path.string()})
             .status == 0;
}

engine::TaskError BackupVolume(const fs::path& volume, const fs::path& image) {
  TaskState state;
  engine::ImageHeader header;
  return RunToEnd(state, state.StartBackup(platform::VolumeId(volume), image.string(), header, 0));
}

engine::TaskError RestoreImage(const fs::path& image, const fs::path& destination,
                               const engine::RestoreIo& io) {
  TaskThreads threads = TaskThreads::Default();
  threads.readFromFile = [io](TaskState& s) { engine::RunImageReader(s, io); };
  threads.writePartition = [io](TaskState& s) { engine::RunPartitionWriter(s, io); };
  TaskState state(threads);
  return RunToEnd(state,
                  state.StartRestore(image.string(), platform::VolumeId(destination.string())));
}

engine::TaskError CopyVolume(const fs::path& source, const fs::path& destination) {
  TaskState state;
  return RunToEnd(state, state.StartCopy(platform::VolumeId(source.string()),
                                         platform::VolumeId(destination.string())));
}

std::string IndependentCheck(const std::string& volume) {
  std::string problems;
  const CommandResult fix = Run({"ntfsfix", "--no-action", volume});
  if (fix.status != 0 || !Complaints(fix.output).empty() ||
      fix.output.find("processed successfully") == std::string::npos) {
    problems += "ntfsfix --no-action:\n" + fix.output;
  }
  const CommandResult resize = Run({"ntfsresize", "--info", "--force", volume});
  if (resize.status != 0 || !Complaints(resize.output).empty() ||
      resize.output.find("Accounting clusters") == std::string::npos) {
    problems += "ntfsresize --info:\n" + resize.output;
  }
  const CommandResult info = Run({"ntfsinfo", "-m", volume});
  if (info.status != 0) problems += "ntfsinfo -m:\n" + info.output;
  return problems;
}

std::string StressReadWrite(const std::string& volume) {
  uint64_t written = 0;
  uint64_t count = 0;
  {
    NtfsMount mount(volume, false);
    if (!mount.Ok()) return "read-write mount failed: " + mount.Error();
    const fs::path folder = mount.Path() / kStressFolder;
    fs::create_directory(folder);
    struct statvfs vfs {};
    if (::statvfs(mount.Path().c_str(), &vfs) != 0) return "statvfs failed";
    const uint64_t target = uint64_t{vfs.f_bavail} * vfs.f_frsize / 10 * 8;
    for (; written + StressSize(count) < target; ++count) {
      std::ofstream out(folder / ("f" + std::to_string(count)), std::ios::binary);
      const std::string data = StressContent(count, StressSize(count));
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
      if (!out.good()) return "writing stress file " + std::to_string(count) + " failed";
      written += data.size();
    }
    for (uint64_t i = 0; i < count; i += 3) fs::remove(folder / ("f" + std::to_string(i)));
    if (!mount.Unmount()) return "the read-write mount could not be unmounted";
  }
  if (count == 0) return "no room for a single stress file";
  if (std::string problems = IndependentCheck(volume); !problems.empty()) {
    return "after writing " + std::to_string(count) + " files:\n" + problems;
  }
  NtfsMount mount(volume, true);
  if (!mount.Ok()) return "read-only remount failed: " + mount.Error();
  for (uint64_t i = 0; i < count; ++i) {
    const fs::path path = mount.Path() / kStressFolder / ("f" + std::to_string(i));
    const bool deleted = i % 3 == 0;
    if (deleted == fs::exists(path)) return "stress file " + std::to_string(i) + " wrongly present";
    if (!deleted && !FileHolds(path, StressContent(i, StressSize(i)))) {
      return "stress file " + std::to_string(i) + " reads back wrong";
    }
  }
  return {};
}

namespace {

// Standard output only: the tools' warnings must not mix with the data.
std::string Output(const std::string& command) { return Shell(command + " 2>/dev/null").output; }

bool InUse(const std::string& mft, uint64_t record) {
  const std::string r = mft.substr(record * 1024, 1024);
  return r.size() == 1024 && r.compare(0, 4, "FILE") == 0 &&
         (static_cast<unsigned char>(r[22]) & 1) != 0;
}

uint64_t Le64(const std::string& bytes, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i)
    v |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return v;
}

}  // namespace

std::string MetadataAgreementCheck(const std::string& volume) {
  const std::string q = Quote(volume);
  const std::string mft = Output("ntfscat -i 0 " + q);
  const std::string bitmap = Output("ntfscat -i 0 -a 0xb0 " + q);
  const std::string mirror = Output("ntfscat -i 1 " + q);
  if (mft.size() < 16 * 1024 || bitmap.empty() || mirror.empty())
    return "ntfscat cannot read the $MFT";
  std::string problems;
  const uint64_t records = mft.size() / 1024;
  int reported = 0;
  for (uint64_t n = 0; n < uint64_t{bitmap.size()} * 8 && reported < 5; ++n) {
    const bool bit = (static_cast<unsigned char>(bitmap[n / 8]) >> (n % 8) & 1) != 0;
    const bool used = n < records && InUse(mft, n);
    if (bit != used) {
      problems += "$MFT's $BITMAP: record " + std::to_string(n) + (used ? " in use" : " free") +
                  " but its bit is " + (bit ? "set" : "clear") + "\n";
      ++reported;
    }
  }
  if (uint64_t{bitmap.size()} * 8 < records)
    problems += "$MFT's $BITMAP is shorter than the $MFT\n";
  const std::string info = Shell("ntfsinfo -m " + q).output;
  const size_t at = info.find("Cluster Size: ");
  const uint64_t clusterSize = at == std::string::npos ? 0 : std::stoull(info.substr(at + 14));
  const uint64_t mirrored = clusterSize <= 4096 ? 4 : clusterSize / 1024;
  if (mirror.size() < mirrored * 1024 ||
      mirror.compare(0, mirrored * 1024, mft, 0, mirrored * 1024) != 0) {
    problems += "$MFTMirr does not hold the first " + std::to_string(mirrored) + " records\n";
  }
  std::ifstream in(volume, std::ios::binary);
  std::string boot(512, '\0');
  std::string backup(512, '\0');
  in.read(boot.data(), 512);
  in.seekg(-512, std::ios::end);
  in.read(backup.data(), 512);
  if (!in || boot != backup) problems += "the backup boot sector differs from the boot sector\n";
  // The $MFTMirr's first cluster as ntfsinfo decodes record 1's run list.
  const std::string runs = Shell("ntfsinfo -v -i 1 " + q).output;
  std::smatch m;
  static const std::regex firstRun("\t\t\t0x0\t\t0x([0-9a-f]+)\t\t0x[0-9a-f]+");
  if (!std::regex_search(runs, m, firstRun) ||
      std::stoull(m[1].str(), nullptr, 16) != Le64(boot, 56)) {
    problems += "the boot sector's $MFTMirr cluster " + std::to_string(Le64(boot, 56)) +
                " is not where record 1 puts the mirror\n";
  }
  return problems;
}

std::vector<std::byte> ReadFileBytes(const fs::path& path, uint64_t offset, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::byte> out;
  char buffer[65536];
  while (length > 0 && in) {
    in.read(buffer, static_cast<std::streamsize>(std::min<uint64_t>(sizeof buffer, length)));
    const auto got = static_cast<uint64_t>(in.gcount());
    if (got == 0) break;
    for (uint64_t i = 0; i < got; ++i) out.push_back(static_cast<std::byte>(buffer[i]));
    length -= got;
  }
  return out;
}

}  // namespace stow::test
