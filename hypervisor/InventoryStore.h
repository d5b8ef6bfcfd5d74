// Reads the inventory file that the settings name ("VirtualServer"/"InventoryFile") into an
// Inventory. The file is read afresh for every lookup (it is small), so a change to it, such as a
// test powering a VM off, counts from the next call on.
#pragma once

#include <string>

#include "hypervisor/Inventory.h"
#include "hypervisor/VMInfoStatus.h"

class InventoryStore {
 public:
  static constexpr const char* kSettingsSection = "VirtualServer";
  static constexpr const char* kSettingsKey = "InventoryFile";

  // The current inventory, or a status that says why there is none.
  static VMInfoStatus Load(Inventory& inventory);

  // Parses inventory text. Relative guest folders are taken relative to `baseDir`. `origin` names
  // the text in error messages (the file path).
  static VMInfoStatus ParseText(const std::string& text, const std::string& baseDir, const std::string& origin,
                                Inventory& inventory);
};
