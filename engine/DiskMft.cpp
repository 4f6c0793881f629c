// Placeholder: the MFT reader is being written.
#include "engine/Disk.h"

namespace stow::engine {
int CDisk::CheckNtfsVolume(std::string*) const { return kDiskUnsupportedVolume; }
uint32_t CDisk::ComputeFileRecordSize() const { return 0; }
bool CDisk::LoadMftRecord() { return false; }
std::byte* CDisk::ReadFileRecord(uint32_t, bool, bool, bool) { return nullptr; }
uint64_t CDisk::BuildEntryList(uint64_t& totalSectors, bool, uint64_t) { totalSectors = 0; return 0; }
uint64_t CDisk::MftRecordCount() const { return 0; }
bool CDisk::LoadRecordCache() { return false; }
bool CDisk::FlushRecordCache() { return false; }
bool CDisk::LoadRecordWindow(uint64_t) { return false; }
}  // namespace stow::engine
