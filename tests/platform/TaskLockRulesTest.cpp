// The task locks' rules over a system of locks kept in memory: two registries
// over one such system are two processes of the program. A disk "disk" backed
// by the file "file" holds the partitions "p1" and "p2".
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/TaskLockRegistry.h"

namespace stow::platform {
namespace {

class MemoryLocks final : public VolumeLockSystem {
 public:
  struct Count {
    int shared = 0;
    int exclusive = 0;
    int taken = 0;  // how often a lock was taken at all
  };

  MemoryLocks() {
    keys = {{"disk", "disk"},
            {"file", "file"},
            {"p1", "p1"},
            {"p2", "p2"},
            {"/other/name/of/p1", "p1"}};
    relatives["file"] = {{}, {"disk", "p1", "p2"}};
    relatives["disk"] = {{"file"}, {"p1", "p2"}};
    relatives["p1"] = {{"disk", "file"}, {}};
    relatives["p2"] = {{"disk", "file"}, {}};
    relatives["/other/name/of/p1"] = relatives["p1"];
  }

  int KeyOf(const std::string& path, std::string& key) override {
    const auto it = keys.find(path);
    if (it == keys.end()) return ENOENT;
    key = it->second;
    return 0;
  }

  int Relatives(const std::string& path, std::vector<std::string>& holders,
                std::vector<std::string>& inside) override {
    if (relativesError != 0) return relativesError;
    const auto it = relatives.find(path);
    if (it == relatives.end()) return 0;
    holders = it->second.first;
    inside = it->second.second;
    return 0;
  }

  int Take(const std::string& path, LockMode mode,
           std::unique_ptr<SystemVolumeLock>& out) override {
    const std::string key = keys.at(path);
    Count& c = counts[key];
    if (c.exclusive > 0 || (mode == LockMode::kExclusive && c.shared > 0)) return EWOULDBLOCK;
    ++(mode == LockMode::kExclusive ? c.exclusive : c.shared);
    ++c.taken;
    out = std::make_unique<Held>(c, mode);
    return 0;
  }

  Count At(const std::string& key) { return counts[key]; }

  std::map<std::string, std::string> keys;
  std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::string>>> relatives;
  int relativesError = 0;

 private:
  class Held final : public SystemVolumeLock {
   public:
    Held(Count& count, LockMode mode) : count_(count), mode_(mode) {}
    ~Held() override { --(mode_ == LockMode::kExclusive ? count_.exclusive : count_.shared); }

   private:
    Count& count_;
    LockMode mode_;
  };
  std::map<std::string, Count> counts;
};

struct TwoProcesses : ::testing::Test {
  MemoryLocks system;
  TaskLockRegistry first{system};
  TaskLockRegistry second{system};
};

TEST_F(TwoProcesses, AWriterOfAPartitionMeetsEveryOverlappingTaskOfAnotherProcess) {
  std::shared_ptr<TaskLock> writer;
  ASSERT_EQ(first.Lock("p1", LockMode::kExclusive, writer, nullptr), 0);
  EXPECT_EQ(system.At("p1").exclusive, 1);
  EXPECT_EQ(system.At("disk").shared, 1) << "the disk holding it, shared";
  EXPECT_EQ(system.At("file").shared, 1) << "and the file behind the disk";
  EXPECT_EQ(system.At("p2").shared + system.At("p2").exclusive, 0) << "not its neighbour";

  struct Case {
    const char* path;
    LockMode mode;
    const char* conflict;  // nullptr: granted
  };
  const Case cases[] = {
      {"p1", LockMode::kShared, "p1"},
      {"/other/name/of/p1", LockMode::kExclusive, "/other/name/of/p1"},
      {"disk", LockMode::kExclusive, "disk"},
      {"disk", LockMode::kShared, "p1"},  // a reader of the disk reads the partition
      {"file", LockMode::kShared, "p1"},
      {"file", LockMode::kExclusive, "file"},
      {"p2", LockMode::kExclusive, nullptr},  // a neighbour is free to write
  };
  for (const Case& c : cases) {
    std::shared_ptr<TaskLock> other;
    std::string conflict;
    const int result = second.Lock(c.path, c.mode, other, &conflict);
    if (c.conflict == nullptr) {
      EXPECT_EQ(result, 0) << c.path;
      EXPECT_TRUE(other && other->Held()) << c.path;
    } else {
      EXPECT_EQ(result, EWOULDBLOCK) << c.path;
      EXPECT_EQ(conflict, c.conflict) << c.path;
      EXPECT_EQ(other, nullptr) << c.path;
    }
  }
  // Every refused attempt let go of what it had taken before the conflict.
  EXPECT_EQ(system.At("disk").shared, 1);
  EXPECT_EQ(system.At("file").shared, 1);
  EXPECT_FALSE(second.Holds("disk"));

  writer.reset();
  for (const char* key : {"p1", "disk", "file"}) {
    EXPECT_EQ(system.At(key).shared + system.At(key).exclusive, 0) << key;
  }
  EXPECT_FALSE(first.Holds("p1"));
  std::shared_ptr<TaskLock> whole;
  EXPECT_EQ(second.Lock("file", LockMode::kExclusive, whole, nullptr), 0);
}

// The conflict is met last, after the disk, the file and the first partition
// were taken: all of them are let go, and only the other process's locks remain.
TEST_F(TwoProcesses, ARefusedReaderLetsGoOfWhatItTookBeforeTheConflict) {
  std::shared_ptr<TaskLock> writer;
  ASSERT_EQ(second.Lock("p2", LockMode::kExclusive, writer, nullptr), 0);
  std::shared_ptr<TaskLock> reader;
  std::string conflict;
  EXPECT_EQ(first.Lock("disk", LockMode::kShared, reader, &conflict), EWOULDBLOCK);
  EXPECT_EQ(conflict, "p2");
  EXPECT_EQ(system.At("p1").shared, 0);
  EXPECT_EQ(system.At("p1").taken, 1) << "it was taken on the way";
  EXPECT_EQ(system.At("disk").shared, 1);
  EXPECT_EQ(system.At("file").shared, 1);
  for (const char* path : {"disk", "file", "p1", "p2"}) EXPECT_FALSE(first.Holds(path)) << path;

  // A writer of the whole disk does not lock its partitions: their writers
  // take the disk shared and meet it there.
  writer.reset();
  std::shared_ptr<TaskLock> disk;
  ASSERT_EQ(first.Lock("disk", LockMode::kExclusive, disk, nullptr), 0);
  EXPECT_EQ(system.At("p1").shared + system.At("p1").exclusive, 0);
  EXPECT_EQ(second.Lock("p2", LockMode::kExclusive, writer, &conflict), EWOULDBLOCK);
  EXPECT_EQ(conflict, "disk");
}

TEST_F(TwoProcesses, TasksOfOneProcessShareTheSystemsLockAndCountIt) {
  std::shared_ptr<TaskLock> a;
  std::shared_ptr<TaskLock> b;
  ASSERT_EQ(first.Lock("p1", LockMode::kShared, a, nullptr), 0);
  ASSERT_EQ(first.Lock("/other/name/of/p1", LockMode::kShared, b, nullptr), 0);
  EXPECT_EQ(system.At("p1").taken, 1) << "one lock of the system for both";
  EXPECT_EQ(system.At("disk").taken, 1);

  // A task of this process reads what another would write: refused, and the
  // holders it took on the way are let go again.
  std::shared_ptr<TaskLock> writer;
  std::string conflict;
  EXPECT_EQ(first.Lock("p1", LockMode::kExclusive, writer, &conflict), EWOULDBLOCK);
  EXPECT_EQ(conflict, "p1");

  a.reset();
  EXPECT_TRUE(first.Holds("p1")) << "the second reader still holds it";
  EXPECT_EQ(system.At("p1").shared, 1);
  b->Release();
  EXPECT_FALSE(first.Holds("p1"));
  EXPECT_FALSE(first.Holds("disk"));
  EXPECT_EQ(system.At("p1").shared, 0);
  b.reset();  // a released lock is released once

  // A writer's own writers (the boot repair after a restore) go through.
  ASSERT_EQ(first.Lock("p1", LockMode::kExclusive, writer, nullptr), 0);
  std::shared_ptr<TaskLock> again;
  EXPECT_EQ(first.Lock("p1", LockMode::kExclusive, again, nullptr), 0);
  writer.reset();
  EXPECT_EQ(system.At("p1").exclusive, 1) << "held while one holder is left";
  again.reset();
  EXPECT_EQ(system.At("p1").exclusive, 0);
}

TEST_F(TwoProcesses, AGoneRelativeHoldsNothingButAGoneVolumeIsAnError) {
  system.relatives["p1"].first.push_back("deleted-backing-file");
  std::shared_ptr<TaskLock> lock;
  EXPECT_EQ(first.Lock("p1", LockMode::kExclusive, lock, nullptr), 0);
  lock.reset();

  std::string conflict;
  EXPECT_EQ(first.Lock("missing", LockMode::kShared, lock, &conflict), ENOENT);
  EXPECT_EQ(conflict, "missing");
  EXPECT_FALSE(first.Holds("missing"));

  system.relativesError = EACCES;
  EXPECT_EQ(first.Lock("p1", LockMode::kShared, lock, nullptr), EACCES);
  EXPECT_EQ(lock, nullptr);
  EXPECT_EQ(system.At("p1").taken, 1) << "nothing taken without the relatives";
}

// A task that takes a new lock into the pointer holding its previous one lets
// go of the previous one (and does not wait for itself doing so).
TEST_F(TwoProcesses, ALockTakenInPlaceOfAnotherReleasesTheOther) {
  std::shared_ptr<TaskLock> lock;
  ASSERT_EQ(first.Lock("p1", LockMode::kExclusive, lock, nullptr), 0);
  ASSERT_EQ(first.Lock("p2", LockMode::kExclusive, lock, nullptr), 0);
  EXPECT_FALSE(first.Holds("p1"));
  EXPECT_TRUE(first.Holds("p2"));
  EXPECT_EQ(system.At("disk").shared, 1);
  std::shared_ptr<TaskLock> other;
  EXPECT_EQ(second.Lock("p1", LockMode::kExclusive, other, nullptr), 0);
}

}  // namespace
}  // namespace stow::platform
