#include "tests/testlib/TreeCompare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace stow::test {
namespace {

constexpr const char* kStreamsListXattr = "ntfs.streams.list";
constexpr const char* kUserXattrPrefix = "user.";
constexpr size_t kReadChunk = 1 << 20;
constexpr size_t kMaxXattrBytes = 1 << 20;
constexpr int kMaxDepth = 256;
constexpr size_t kMaxSegments = 100000;
// system.ntfs_times holds four 64-bit times: creation, data change, record change, access.
constexpr size_t kAccessTimeOffset = 24;
constexpr size_t kNtfsTimeBytes = 8;

const char* const kComparedXattrs[] = {kNtfsAttribXattr, kNtfsTimesXattr, kNtfsAclXattr,
                                       kNtfsReparseXattr};

// --- SHA-256 ------------------------------------------------------------------------

class Sha256 {
 public:
  void Update(const unsigned char* data, size_t length) {
    bits_ += static_cast<uint64_t>(length) * 8;
    while (length > 0) {
      const size_t take = std::min(length, block_.size() - used_);
      std::memcpy(block_.data() + used_, data, take);
      used_ += take;
      data += take;
      length -= take;
      if (used_ == block_.size()) {
        Compress();
        used_ = 0;
      }
    }
  }

  std::string HexDigest() {
    const uint64_t bits = bits_;
    const unsigned char pad = 0x80;
    Update(&pad, 1);
    const unsigned char zero = 0;
    while (used_ != 56) Update(&zero, 1);
    for (int i = 7; i >= 0; --i) {
      const auto b = static_cast<unsigned char>(bits >> (i * 8));
      Update(&b, 1);
    }
    std::string hex;
    char text[9];
    for (const uint32_t word : state_) {
      std::snprintf(text, sizeof text, "%08x", word);
      hex += text;
    }
    return hex;
  }

 private:
  static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void Compress() {
    static constexpr uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = (uint32_t{block_[i * 4]} << 24) | (uint32_t{block_[i * 4 + 1]} << 16) |
             (uint32_t{block_[i * 4 + 2]} << 8) | uint32_t{block_[i * 4 + 3]};
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::memcpy(v, state_.data(), sizeof v);
    for (int i = 0; i < 64; ++i) {
      const uint32_t s1 = Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25);
      const uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
      const uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
      const uint32_t s0 = Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22);
      const uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      const uint32_t t2 = s0 + maj;
      for (int j = 7; j > 0; --j) v[j] = v[j - 1];
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) state_[i] += v[i];
  }

  std::array<uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<unsigned char, 64> block_{};
  size_t used_ = 0;
  uint64_t bits_ = 0;
};

std::string Hex(const std::string& bytes) {
  std::string out;
  char text[3];
  for (const char c : bytes) {
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned char>(c));
    out += text;
  }
  return out;
}

// --- Reading one entry ---------------------------------------------------------------

// 0 with the value, ENODATA when absent, or another error.
int ReadXattr(const std::string& path, const char* name, std::string& value) {
  const ssize_t size = ::lgetxattr(path.c_str(), name, nullptr, 0);
  if (size < 0) return errno;
  if (static_cast<size_t>(size) > kMaxXattrBytes) return E2BIG;
  value.assign(static_cast<size_t>(size), '\0');
  const ssize_t got = ::lgetxattr(path.c_str(), name, value.data(), value.size());
  if (got < 0) return errno;
  value.resize(static_cast<size_t>(got));
  return 0;
}

bool HashFile(const std::string& path, std::string& hash, uint64_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadChunk]);
  Sha256 sha;
  size = 0;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), kReadChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    sha.Update(buffer.get(), static_cast<size_t>(n));
    size += static_cast<uint64_t>(n);
  }
  ::close(fd);
  hash = sha.HexDigest();
  return ok;
}

std::vector<std::pair<uint64_t, uint64_t>> DataSegments(const std::string& path, uint64_t size) {
  std::vector<std::pair<uint64_t, uint64_t>> segments;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return segments;
  off_t position = 0;
  while (static_cast<uint64_t>(position) < size && segments.size() < kMaxSegments) {
    const off_t data = ::lseek(fd, position, SEEK_DATA);
    if (data < 0) break;  // ENXIO: only a hole remains
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole <= data) break;
    segments.emplace_back(static_cast<uint64_t>(data), static_cast<uint64_t>(hole));
    position = hole;
  }
  ::close(fd);
  return segments;
}

std::vector<std::string> SplitNul(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\0', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

void ReadStreams(const std::string& path, TreeEntry& entry, std::vector<std::string>& errors,
                 const std::string& rel) {
  std::string list;
  const int error = ReadXattr(path, kStreamsListXattr, list);
  if (error == 0) {
    for (const std::string& name : SplitNul(list)) {
      std::string hash;
      uint64_t size = 0;
      if (!HashFile(path + ":" + name, hash, size)) {
        errors.push_back(rel + ": stream '" + name + "' cannot be read");
        continue;
      }
      entry.streams[name] = std::to_string(size) + ":" + hash;
    }
    return;
  }
  // ntfs-3g's default interface: each stream is an extended attribute "user.<name>".
  const ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
  if (size <= 0) return;
  std::string names(static_cast<size_t>(size), '\0');
  const ssize_t got = ::llistxattr(path.c_str(), names.data(), names.size());
  if (got < 0) return;
  names.resize(static_cast<size_t>(got));
  for (const std::string& name : SplitNul(names)) {
    if (!name.starts_with(kUserXattrPrefix)) continue;
    std::string value;
    if (ReadXattr(path, name.c_str(), value) != 0) {
      errors.push_back(rel + ": stream '" + name + "' cannot be read (mount with " +
                       kTreeMountOptions + ")");
      continue;
    }
    entry.streams[name.substr(std::strlen(kUserXattrPrefix))] =
        std::to_string(value.size()) + ":" + Sha256Hex(value);
  }
}

bool Ignored(const std::string& rel, const TreeCompareOptions& options) {
  for (const std::string& prefix : options.ignore) {
    if (rel == prefix || (rel.starts_with(prefix) && rel[prefix.size()] == '/')) return true;
  }
  return false;
}

void ReadEntry(const std::string& path, const std::string& rel, const struct stat& st,
               TreeSnapshot& snap) {
  TreeEntry entry;
  entry.inode = st.st_ino;
  entry.allocatedBlocks = static_cast<uint64_t>(st.st_blocks);
  if (S_ISDIR(st.st_mode)) {
    entry.kind = EntryKind::kDirectory;
  } else if (S_ISREG(st.st_mode)) {
    entry.kind = EntryKind::kFile;
    entry.size = static_cast<uint64_t>(st.st_size);
    uint64_t read = 0;
    if (!HashFile(path, entry.contentHash, read) || read != entry.size) {
      snap.errors.push_back(rel + ": contents cannot be read whole");
    }
    entry.dataSegments = DataSegments(path, entry.size);
  } else if (S_ISLNK(st.st_mode)) {
    entry.kind = EntryKind::kSymlink;
    std::error_code ec;
    entry.linkTarget = fs::read_symlink(path, ec).string();
    if (ec) snap.errors.push_back(rel + ": link cannot be read");
  }
  for (const char* name : kComparedXattrs) {
    std::string value;
    if (ReadXattr(path, name, value) == 0) entry.xattrs[name] = value;
  }
  if (entry.kind != EntryKind::kSymlink) ReadStreams(path, entry, snap.errors, rel);
  snap.entries[rel] = std::move(entry);
}

void Walk(const fs::path& dir, const std::string& rel, int depth, TreeSnapshot& snap,
          const TreeCompareOptions& options) {
  if (depth > kMaxDepth) {
    snap.errors.push_back(rel + ": too deep");
    return;
  }
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(dir, ec)) {
    names.push_back(item.path().filename().string());
  }
  if (ec) snap.errors.push_back(rel + ": directory cannot be listed");
  for (const std::string& name : names) {
    const std::string childRel = rel.empty() ? name : rel + "/" + name;
    if (Ignored(childRel, options)) continue;
    const fs::path child = dir / name;
    struct stat st {};
    if (::lstat(child.c_str(), &st) != 0) {
      snap.errors.push_back(childRel + ": cannot be examined");
      continue;
    }
    ReadEntry(child.string(), childRel, st, snap);
    if (S_ISDIR(st.st_mode)) Walk(child, childRel, depth + 1, snap, options);
  }
}

void GroupHardLinks(TreeSnapshot& snap) {
  std::map<uint64_t, std::vector<std::string>> byInode;
  for (const auto& [path, entry] : snap.entries) {
    if (entry.kind != EntryKind::kDirectory) byInode[entry.inode].push_back(path);
  }
  for (auto& [inode, paths] : byInode) {
    if (paths.size() > 1) snap.hardLinkGroups.insert(paths);  // map order keeps them sorted
  }
}

// --- Comparing -----------------------------------------------------------------------------

const char* KindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::kDirectory:
      return "directory";
    case EntryKind::kFile:
      return "file";
    case EntryKind::kSymlink:
      return "symbolic link";
    default:
      return "other";
  }
}

std::string AttribText(const std::string& value) {
  uint32_t bits = 0;
  for (size_t i = 0; i < value.size() && i < 4; ++i) {
    bits |= static_cast<uint32_t>(static_cast<unsigned char>(value[i])) << (8 * i);
  }
  char text[64];
  std::snprintf(text, sizeof text, "0x%x%s%s", bits, (bits & kNtfsAttrSparse) ? " sparse" : "",
                (bits & kNtfsAttrCompressed) ? " compressed" : "");
  return text;
}

std::string XattrText(const std::string& name, const std::string& value) {
  if (name == kNtfsAttribXattr) return AttribText(value);
  return value.size() <= 40 ? Hex(value) : Hex(value.substr(0, 40)) + "...";
}

std::string SegmentsText(const std::vector<std::pair<uint64_t, uint64_t>>& segments) {
  std::string text;
  for (const auto& [begin, end] : segments) {
    if (!text.empty()) text += ",";
    text += "[" + std::to_string(begin) + "," + std::to_string(end) + ")";
  }
  return text.empty() ? "none" : text;
}

std::string GroupText(const std::vector<std::string>& group) {
  std::string text = "{";
  for (const std::string& p : group) text += (text.size() > 1 ? ", " : "") + p;
  return text + "}";
}

class Comparer {
 public:
  Comparer(const TreeCompareOptions& options, std::vector<TreeDifference>& out)
      : options_(options), out_(out) {}

  void Add(const std::string& path, const std::string& what, const std::string& detail) {
    out_.push_back({path, what, detail});
  }

  template <typename T>
  void Value(const std::string& path, const std::string& what, const T& a, const T& b) {
    if (a != b) Add(path, what, "A: " + ToText(a) + ", B: " + ToText(b));
  }

  void Entry(const std::string& path, const TreeEntry& a, const TreeEntry& b) {
    if (a.kind != b.kind) {
      Add(path, "kind", std::string("A: ") + KindName(a.kind) + ", B: " + KindName(b.kind));
      return;
    }
    if (a.kind == EntryKind::kFile) {
      Value(path, "size", a.size, b.size);
      if (a.size == b.size) Value(path, "content", a.contentHash, b.contentHash);
      Value(path, "allocated size (512-byte blocks)", a.allocatedBlocks, b.allocatedBlocks);
      if (a.dataSegments != b.dataSegments) {
        Add(path, "data segments",
            "A: " + SegmentsText(a.dataSegments) + ", B: " + SegmentsText(b.dataSegments));
      }
    }
    if (a.kind == EntryKind::kSymlink) Value(path, "link target", a.linkTarget, b.linkTarget);
    Streams(path, a, b);
    Xattrs(path, a, b);
  }

 private:
  static std::string ToText(uint64_t v) { return std::to_string(v); }
  static std::string ToText(const std::string& v) { return "'" + v + "'"; }

  void Streams(const std::string& path, const TreeEntry& a, const TreeEntry& b) {
    for (const auto& [name, value] : a.streams) {
      const auto other = b.streams.find(name);
      if (other == b.streams.end()) {
        Add(path, "stream '" + name + "'", "missing in B");
      } else if (other->second != value) {
        Add(path, "stream '" + name + "'", "A: " + value + ", B: " + other->second);
      }
    }
    for (const auto& [name, value] : b.streams) {
      if (!a.streams.contains(name)) Add(path, "stream '" + name + "'", "missing in A");
    }
  }

  void Xattrs(const std::string& path, const TreeEntry& a, const TreeEntry& b) {
    for (const char* name : kComparedXattrs) {
      const std::string key = name;
      if (!options_.compareTimes && key == kNtfsTimesXattr) continue;
      if (!options_.compareSecurity && key == kNtfsAclXattr) continue;
      const auto x = a.xattrs.find(key);
      const auto y = b.xattrs.find(key);
      const std::string va = x == a.xattrs.end() ? std::string() : x->second;
      const std::string vb = y == b.xattrs.end() ? std::string() : y->second;
      if ((x == a.xattrs.end()) != (y == b.xattrs.end())) {
        Add(path, key, x == a.xattrs.end() ? "missing in A" : "missing in B");
      } else if (Masked(key, va) != Masked(key, vb)) {
        Add(path, key, "A: " + XattrText(key, va) + ", B: " + XattrText(key, vb));
      }
    }
  }

  std::string Masked(const std::string& name, std::string value) const {
    if (options_.ignoreAccessTime && name == kNtfsTimesXattr &&
        value.size() >= kAccessTimeOffset + kNtfsTimeBytes) {
      value.replace(kAccessTimeOffset, kNtfsTimeBytes, kNtfsTimeBytes, '\0');
    }
    return value;
  }

  const TreeCompareOptions& options_;
  std::vector<TreeDifference>& out_;
};

std::vector<std::string> GroupOf(const TreeSnapshot& snap, const std::string& path) {
  for (const auto& group : snap.hardLinkGroups) {
    for (const std::string& p : group) {
      if (p == path) return group;
    }
  }
  return {path};
}

void CompareHardLinks(const TreeSnapshot& a, const TreeSnapshot& b, Comparer& comparer) {
  std::set<std::vector<std::string>> reported;
  auto check = [&](const TreeSnapshot& from, const TreeSnapshot& to, bool fromIsA) {
    for (const auto& group : from.hardLinkGroups) {
      const std::vector<std::string> other = GroupOf(to, group.front());
      if (other == group || reported.contains(group) || reported.contains(other)) continue;
      reported.insert(group);
      reported.insert(other);
      const auto& ga = fromIsA ? group : other;
      const auto& gb = fromIsA ? other : group;
      comparer.Add(group.front(), "hard links", "A: " + GroupText(ga) + ", B: " + GroupText(gb));
    }
  };
  check(a, b, true);
  check(b, a, false);
}

// Reports paths present on one side only; below a missing directory only the directory.
void CompareMembership(const TreeSnapshot& from, const TreeSnapshot& to, const char* what,
                       Comparer& comparer) {
  std::string missingDir;
  size_t below = 0;
  std::string pending;
  auto flush = [&]() {
    if (!pending.empty()) {
      comparer.Add(pending, what,
                   below == 0 ? std::string() : "with " + std::to_string(below) + " entries below");
    }
    pending.clear();
    below = 0;
  };
  for (const auto& [path, entry] : from.entries) {
    if (!missingDir.empty() && path.starts_with(missingDir + "/")) {
      ++below;
      continue;
    }
    flush();
    missingDir.clear();
    if (to.entries.contains(path)) continue;
    pending = path;
    if (entry.kind == EntryKind::kDirectory) missingDir = path;
  }
  flush();
}

}  // namespace

std::string TreeDifference::Text() const {
  std::string text = (path.empty() ? std::string("/") : "/" + path) + ": " + what;
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

std::string Sha256Hex(const std::string& data) {
  Sha256 sha;
  sha.Update(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return sha.HexDigest();
}

TreeSnapshot SnapshotTree(const fs::path& root, const TreeCompareOptions& options) {
  TreeSnapshot snap;
  struct stat st {};
  if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    snap.errors.push_back(root.string() + ": not a directory");
    return snap;
  }
  ReadEntry(root.string(), "", st, snap);
  Walk(root, "", 0, snap, options);
  GroupHardLinks(snap);
  return snap;
}

std::vector<TreeDifference> CompareSnapshots(const TreeSnapshot& a, const TreeSnapshot& b,
                                             const TreeCompareOptions& options) {
  std::vector<TreeDifference> out;
  Comparer comparer(options, out);
  for (const std::string& e : a.errors) comparer.Add("", "unreadable in A", e);
  for (const std::string& e : b.errors) comparer.Add("", "unreadable in B", e);
  CompareMembership(a, b, "missing in B", comparer);
  CompareMembership(b, a, "missing in A", comparer);
  for (const auto& [path, entry] : a.entries) {
    const auto other = b.entries.find(path);
    if (other != b.entries.end()) comparer.Entry(path, entry, other->second);
  }
  CompareHardLinks(a, b, comparer);
  return out;
}

std::vector<TreeDifference> CompareTrees(const fs::path& a, const fs::path& b,
                                         const TreeCompareOptions& options) {
  return CompareSnapshots(SnapshotTree(a, options), SnapshotTree(b, options), options);
}

std::vector<TreeDifference> CompareNtfsVolumes(const std::string& a, const std::string& b,
                                               const TreeCompareOptions& options) {
  NtfsMount mountA(a, true, kTreeMountOptions);
  NtfsMount mountB(b, true, kTreeMountOptions);
  std::vector<TreeDifference> out;
  if (!mountA.Ok()) out.push_back({"", "A does not mount", a + ": " + mountA.Error()});
  if (!mountB.Ok()) out.push_back({"", "B does not mount", b + ": " + mountB.Error()});
  if (!out.empty()) return out;
  return CompareTrees(mountA.Path(), mountB.Path(), options);
}

std::string DifferencesText(const std::vector<TreeDifference>& differences, size_t limit) {
  std::string text;
  size_t shown = 0;
  for (const TreeDifference& d : differences) {
    if (shown++ == limit) {
      text += "... and " + std::to_string(differences.size() - limit) + " more\n";
      break;
    }
    text += d.Text() + "\n";
  }
  return text;
}

}  // namespace stow::test
