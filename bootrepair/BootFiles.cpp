#include "bootrepair/BootFiles.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

#include "support/Log.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;
using platform::VolumeFiles;

struct WalkEntry {
  std::string name;
  bool directory = false;
};

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && Upper(a) == Upper(b);
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The regular files and real folders of `folder` (symbolic links and special
// files are left out: a link may lead out of the tree or round in a loop, and a
// pipe would block the copy), ordered as an NTFS directory index lists them.
bool ListFolder(const std::string& folder, std::vector<WalkEntry>& out) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return false;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    const fs::file_status status = it->symlink_status(error);
    if (error) continue;
    if (fs::is_directory(status)) {
      out.push_back({it->path().filename().string(), true});
    } else if (fs::is_regular_file(status)) {
      out.push_back({it->path().filename().string(), false});
    }
  }
  std::sort(out.begin(), out.end(),
            [](const WalkEntry& a, const WalkEntry& b) { return Upper(a.name) < Upper(b.name); });
  return true;
}

// Decides at the top level whether an entry is taken (a file) or entered (a folder).
using TopLevelRule = std::function<bool(const WalkEntry&)>;

class Walker {
 public:
  explicit Walker(FileList& files) : files_(files) {}

  void Walk(const std::string& folder, int depth, const TopLevelRule& topLevel) {
    if (depth >= kMaxWalkDepth) {
      LogLess("walk stopped at %s: deeper than %d folders", folder.c_str(), kMaxWalkDepth);
      return;
    }
    std::vector<WalkEntry> entries;
    if (!ListFolder(folder, entries)) return;
    for (const WalkEntry& entry : entries) {
      if (taken_ >= kMaxWalkFiles) {
        if (!capped_) LogLess("walk stopped at %s: more than %zu files", folder.c_str(), taken_);
        capped_ = true;
        return;
      }
      if (depth == 0 && topLevel && !topLevel(entry)) continue;
      const std::string path = (folder == "/" ? "" : folder) + "/" + entry.name;
      if (entry.directory) {
        Walk(path, depth + 1, nullptr);
      } else {
        files_.push_back(path);
        ++taken_;
      }
    }
  }

 private:
  FileList& files_;
  size_t taken_ = 0;
  bool capped_ = false;
};

TopLevelRule BootFilterRule(int filter) {
  if (filter == kBootFilterNone) return nullptr;
  return [filter](const WalkEntry& entry) {
    if (!entry.directory) {
      if ((filter & kBootFilterBootManager) != 0) {
        return SameNameIgnoringCase(entry.name, kBootManagerName);
      }
      return true;  // only the EFI flag: every top-level file
    }
    return ((filter & kBootFilterBootManager) != 0 &&
            SameNameIgnoringCase(entry.name, kBootFolderName)) ||
           ((filter & kBootFilterEfi) != 0 && SameNameIgnoringCase(entry.name, kEfiFolderName));
  };
}

// The part of a collected path below the walked root, starting with '/'. Only
// the leading root is replaced: the same text further inside a path is a
// folder name like any other.
std::string BelowRoot(const std::string& root, const std::string& path) {
  const size_t cut = root == "/" ? 0 : root.size();
  return path.substr(cut);
}

std::string Display(const VolumeFiles& volume, const std::string& path) {
  return volume.Device() + ":" + path;
}

bool EndsWithStoreName(const std::string& path) {
  return path.size() >= 3 && SameNameIgnoringCase(path.substr(path.size() - 3), kStoreName);
}

bool NamedStore(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash != std::string::npos && slash >= 1 &&
         SameNameIgnoringCase(path.substr(slash + 1), kStoreName);
}

// A stdio file closed on every path.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int LastError() { return errno != 0 ? errno : EIO; }

// Streams the open `source` into the local file `target` through one buffer.
int StreamInto(std::FILE* source, const std::string& sourcePath, const std::string& target,
               const std::string& shown) {
  errno = 0;
  File out(std::fopen(target.c_str(), "wb"));
  if (!out) {
    const int error = LastError();
    LogLess("MyCopyFile open dest %s fail , error=0x%x", shown.c_str(), error);
    return error;
  }
  std::error_code sizeError;
  const uint64_t size = fs::file_size(sourcePath, sizeError);
  if (sizeError) {
    LogLess("MyCopyFile,get file size false,error=0x%x", sizeError.value());
    return sizeError.value();
  }
  std::array<std::byte, kCopyBufferSize> buffer{};
  uint64_t total = 0;
  while (total < size) {
    errno = 0;
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), source);
    if (n == 0) {  // the file ended before its size: it shrank under us, or a read failed
      const int error = LastError();
      LogLess("MyCopyFile read %s failed after %llu bytes, error=0x%x", sourcePath.c_str(),
              static_cast<unsigned long long>(total), error);
      return error;
    }
    errno = 0;
    if (std::fwrite(buffer.data(), 1, n, out.get()) != n) {
      const int error = LastError();
      LogLess("MyCopyFile write %s failed after %llu bytes, error=0x%x", shown.c_str(),
              static_cast<unsigned long long>(total), error);
      return error;
    }
    total += n;
  }
  errno = 0;
  if (std::fclose(out.release()) != 0) {
    const int error = LastError();
    LogLess("MyCopyFile write %s failed at its end, error=0x%x", shown.c_str(), error);
    return error;
  }
  return 0;
}

int CopyContents(const std::string& source, VolumeFiles& volume, const std::string& destination) {
  // Read access is all a copy needs: a source on a read-only mount or in use
  // elsewhere copies as well.
  errno = 0;
  File in(std::fopen(source.c_str(), "rb"));
  if (!in) {
    const int error = LastError();
    LogLess("MyCopyFile open sour %s fail , error=0x%x", source.c_str(), error);
    return error;
  }
  const std::string shown = Display(volume, destination);
  if (!volume.LocalRoot().empty()) {
    return StreamInto(in.get(), source, volume.LocalRoot() + destination, shown);
  }
  const int result = volume.WriteFile(source, destination);
  if (result != 0) LogLess("MyCopyFile open dest %s fail , error=0x%x", shown.c_str(), result);
  return result;
}

// The files of a copy that are not in place (failed, or never tried after a
// folder could not be made), with one line that sums them up.
[[nodiscard]] size_t NotCopied(size_t found, size_t copied, const std::string& destination) {
  const size_t missing = found - copied;
  if (missing != 0) {
    LogLess("%zu of %zu files not copied to %s", missing, found, destination.c_str());
  }
  return missing;
}

bool IsFolder(VolumeFiles& volume, const std::string& path) {
  uint32_t attributes = 0;
  return volume.QueryAttributes(path, attributes) == 0 &&
         (attributes & platform::kFileAttributeDirectory) != 0;
}

}  // namespace

void CollectFiles(const std::string& root, FileList& files, int filter) {
  Walker(files).Walk(WithoutTrailingSeparators(root), 0, BootFilterRule(filter));
}

void CollectFilesExcluding(const std::string& root, FileList& files,
                           const std::string& excludedName, bool exclude) {
  TopLevelRule rule;
  if (exclude && !excludedName.empty()) {
    rule = [excludedName](const WalkEntry& entry) {
      return !entry.directory || !SameNameIgnoringCase(entry.name, excludedName);
    };
  }
  Walker(files).Walk(WithoutTrailingSeparators(root), 0, rule);
}

bool EnsureDirectory(VolumeFiles& volume, const std::string& path) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return false;
  const std::string folder = path.substr(0, last);
  if (folder.empty()) return true;  // a file at the top: the root always exists
  if (IsFolder(volume, folder)) return true;
  bool created = false;
  bool madeAny = false;
  // Every prefix that ends before a separator, shortest first, then the folder itself.
  for (size_t cut = folder.find('/', 1);; cut = folder.find('/', cut + 1)) {
    const std::string candidate = cut == std::string::npos ? folder : folder.substr(0, cut);
    if (!IsFolder(volume, candidate)) {
      madeAny = true;
      created = volume.MakeDirectory(candidate) == 0;
    }
    if (cut == std::string::npos) break;
  }
  return madeAny && created;
}

bool MyCopyFile(const std::string& source, VolumeFiles& volume, const std::string& destination,
                int* error) {
  uint32_t before = 0;
  const bool existed = volume.QueryAttributes(destination, before) == 0;
  // A read-only or system file is replaced only once its attributes are cleared;
  // a failure to clear them shows as a failed copy.
  if (existed && volume.SetAttributes(destination, platform::kFileAttributeNormal) != 0) {
    LogDebug("attributes of %s could not be cleared", destination.c_str());
  }
  const int result = CopyContents(source, volume, destination);
  // Also after a failure: the file is left with the attributes it had.
  if (existed && volume.SetAttributes(destination, before) != 0) {
    LogLess("attributes 0x%x of %s could not be restored", before, destination.c_str());
  }
  if (error) *error = result;
  return result == 0;
}

size_t CopyBootFiles(int filter, const std::string& sourceRoot, VolumeFiles& destination,
                     std::string& storeList) {
  storeList.clear();
  const std::string root = WithoutTrailingSeparators(sourceRoot);
  FileList files;
  CollectFiles(root, files, filter);
  LogDebug("start copy file sour : %s  ,des : %s", root.c_str(), destination.Device().c_str());
  size_t copied = 0;
  for (const std::string& path : files) {
    if (path.size() < 2) {
      LogLess("copy file error : %s ,path error", path.c_str());
      continue;
    }
    const std::string target = BelowRoot(root, path);
    if (!EnsureDirectory(destination, target)) {
      LogLess("copy file error : %s ,path not exist", Display(destination, "/").c_str());
      break;
    }
    int error = 0;
    if (MyCopyFile(path, destination, target, &error)) {
      ++copied;
      LogDebug("copy file success : %s ", Display(destination, target).c_str());
    } else {
      LogLess("mycopy file eror : %s ,error=0x%x", path.c_str(), error);
      if (path.size() >= 6 && filter != kBootFilterNone && EndsWithStoreName(path)) {
        // No running system's store to export in its place here: the store
        // stays as the failed copy left it, and is still listed.
        LogLess("boot configuration store %s could not be placed",
                Display(destination, target).c_str());
      }
    }
    if (NamedStore(path)) {
      if (!storeList.empty()) storeList += kStoreListSeparator;
      storeList += target;
    }
  }
  LogDebug("copy file number=%d", static_cast<int>(files.size()));
  return NotCopied(files.size(), copied, destination.Device());
}

size_t CopyTree(bool exclude, const std::string& sourceRoot, const std::string& destinationRoot,
                const std::string& excludedName) {
  const std::string root = WithoutTrailingSeparators(sourceRoot);
  FileList files;
  CollectFilesExcluding(root, files, excludedName, exclude);
  const std::string destination = WithoutTrailingSeparators(destinationRoot);
  const std::unique_ptr<VolumeFiles> folder = platform::OpenFolderFiles(destination);
  size_t copied = 0;
  for (const std::string& path : files) {
    if (path.size() < 2) {
      LogLess("copy file error : %s ,path error", path.c_str());
      continue;
    }
    const std::string target = BelowRoot(root, path);
    if (!EnsureDirectory(*folder, target)) {
      LogLess("copy file error : %s ,path not exist", (destination + "/").c_str());
      break;
    }
    std::error_code error;
    fs::copy_file(path, destination + target, fs::copy_options::overwrite_existing, error);
    if (error) {
      LogLess("copy file eror : %s ,error=0x%x", path.c_str(), error.value());
    } else {
      ++copied;
    }
  }
  LogDebug("copy file number=%d", static_cast<int>(files.size()));
  return NotCopied(files.size(), copied, destination);
}

namespace {

void DeleteTreeAt(const std::string& folder, int depth) {
  if (depth >= kMaxWalkDepth) return;
  std::vector<WalkEntry> entries;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return;  // the search cannot start: nothing to do
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    const fs::file_status status = it->symlink_status(error);
    if (!error && fs::is_directory(status)) {
      entries.push_back({it->path().string(), true});
    } else {
      entries.push_back({it->path().string(), false});
    }
  }
  for (const WalkEntry& entry : entries) {
    if (entry.directory) {
      DeleteTreeAt(entry.name, depth + 1);
    } else {
      fs::remove(entry.name, error);  // a failure is ignored
    }
  }
  fs::remove(folder, error);
}

}  // namespace

void DeleteTree(const std::string& folder) { DeleteTreeAt(WithoutTrailingSeparators(folder), 0); }

std::vector<std::string> SplitStoreList(const std::string& storeList) {
  std::vector<std::string> stores;
  size_t start = 0;
  while (start <= storeList.size()) {
    const size_t end = std::min(storeList.find(kStoreListSeparator, start), storeList.size());
    if (end > start) stores.push_back(storeList.substr(start, end - start));
    start = end + 1;
  }
  return stores;
}

}  // namespace stow::bootrepair
