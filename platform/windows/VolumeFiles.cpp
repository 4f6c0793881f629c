// Files inside a volume on Windows: the system mounts NTFS and FAT volumes
// itself, so a volume with a drive letter is reached through its root folder
// and the attribute word is the file's own.
#include "platform/VolumeFiles.h"

#include <filesystem>

#include "platform/BlockDevice.h"
#include "platform/Volumes.h"
#include "platform/windows/Win32.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSettableAttributes =
    kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeArchive;

int ErrorOf(const std::error_code& error) { return error ? error.value() : 0; }

class LocalFiles final : public VolumeFiles {
 public:
  LocalFiles(std::string device, std::string fileSystem, std::string root)
      : device_(std::move(device)), fileSystem_(std::move(fileSystem)), root_(std::move(root)) {}

  const std::string& Device() const override { return device_; }
  const std::string& FileSystem() const override { return fileSystem_; }
  const std::string& LocalRoot() const override { return root_; }

  int QueryAttributes(const std::string& path, uint32_t& attributes) override {
    const DWORD word = ::GetFileAttributesW(Local(path).c_str());
    if (word == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
    attributes = word;
    return 0;
  }

  int SetAttributes(const std::string& path, uint32_t attributes) override {
    const std::wstring local = Local(path);
    const DWORD current = ::GetFileAttributesW(local.c_str());
    if (current == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
    DWORD next = (current & ~(kSettableAttributes | kFileAttributeNormal | kFileAttributeDirectory)) |
                 (attributes & kSettableAttributes);
    if (next == 0) next = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileAttributesW(local.c_str(), next) ? 0 : win::LastErrno();
  }

  int MakeDirectory(const std::string& path) override {
    return ::CreateDirectoryW(Local(path).c_str(), nullptr) ? 0 : win::LastErrno();
  }

  int WriteFile(const std::string& source, const std::string& path) override {
    return Copy(win::Widen(source), Local(path));
  }

  int ReadFile(const std::string& path, const std::string& target) override {
    return Copy(Local(path), win::Widen(target));
  }

  int Close() override { return 0; }

 private:
  std::wstring Local(const std::string& path) const {
    std::wstring local = win::Widen(root_);
    std::wstring inner = win::Widen(path);
    for (wchar_t& c : inner) {
      if (c == L'/') c = L'\\';
    }
    if (!local.empty() && local.back() == L'\\' && !inner.empty() && inner.front() == L'\\') {
      inner.erase(0, 1);
    }
    return local + inner;
  }

  static int Copy(const std::wstring& from, const std::wstring& to) {
    // A read-only or hidden target is replaced like any other.
    ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    return ErrorOf(error);
  }

  std::string device_;
  std::string fileSystem_;
  std::string root_;
};

}  // namespace

int OpenVolumeFiles(const std::string& device, bool /*readOnly*/,
                    std::unique_ptr<VolumeFiles>& out, std::string* why) {
  const wchar_t letter = win::DriveLetterOf(device);
  VolumeInformation info;
  const int queried = QueryVolumeInformation(device, info);
  if (queried != 0) {
    if (why) *why = "cannot probe the volume: " + SystemErrorText(queried);
    return queried;
  }
  if (info.fileSystemName != "NTFS" && info.fileSystemName != "FAT32" &&
      info.fileSystemName != "FAT") {
    if (why) *why = "no access to files on a volume of type '" + info.fileSystemName + "'";
    return kVolumeFilesUnsupported;
  }
  if (letter == 0) {
    // The system mounts volumes, not files that stand in for them.
    if (why) *why = "the files of " + device + " are reachable only on a volume with a drive letter";
    return kVolumeFilesUnsupported;
  }
  out = std::make_unique<LocalFiles>(device, info.fileSystemName,
                                     std::string(1, static_cast<char>(letter)) + ":\\");
  return 0;
}

std::unique_ptr<VolumeFiles> OpenFolderFiles(const std::string& folder) {
  return std::make_unique<LocalFiles>(folder, "", folder);
}

}  // namespace stow::platform
