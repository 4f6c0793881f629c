// The backup page as the window lays it out, on the headless host, and the
// volumes the page is allowed to see in a test.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "ui/framework/headless/HeadlessHost.h"
#include "ui/pages/BackupHandler.h"

namespace stow::ui::pagetest {

// The controls of "page_backup".
headless::HeadlessPage& AddBackupPage(headless::HeadlessHost& host);

// The machine's inventory, narrowed to the volumes of `devices` (a device and
// its partitions), so that loop devices other tests attach meanwhile do not
// count as changes. The set is read at each call: a test adds a device to
// "plug it in".
VolumeSource InventoryOf(std::shared_ptr<std::set<std::string>> devices);

}  // namespace stow::ui::pagetest
