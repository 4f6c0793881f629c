// Build-time tool: writes the BCD stores of the boot file set, so that no
// binary store is kept in the source tree.
//
//   stowline-bcd-templates OUTPUT_DIR
// makes OUTPUT_DIR/Boot/BCD (BIOS) and OUTPUT_DIR/EFI/Microsoft/Boot/BCD (UEFI),
// each with the boot manager and the Windows loader object that the boot
// repair points at the copied installation.
#include <cstdio>
#include <filesystem>
#include <string>

#include "bootrepair/BcdStore.h"

namespace {

namespace fs = std::filesystem;
using namespace stow::bootrepair;

int MakeStore(const fs::path& path, bool uefi) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec) {
    std::fprintf(stderr, "cannot create %s: %s\n", path.parent_path().c_str(),
                 ec.message().c_str());
    return 1;
  }
  BcdStore store;
  BcdResult result = store.Create(path.string());
  if (result == kBcdOk) result = AddBootManager(store, uefi);
  if (result == kBcdOk) result = AddWindowsLoader(store, uefi);
  if (result == kBcdOk) result = store.Commit();
  if (result != kBcdOk) {
    std::fprintf(stderr, "cannot make %s: %s\n", path.c_str(), BcdResultText(result));
    fs::remove(path, ec);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  int failures = MakeStore(root / "Boot" / "BCD", false);
  failures += MakeStore(root / "EFI" / "Microsoft" / "Boot" / "BCD", true);
  return failures == 0 ? 0 : 1;
}
