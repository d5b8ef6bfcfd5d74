// Reads the inventory file that the settings name ("VirtualServer"/"InventoryFile") into an
// Inventory. The parsed inventory is kept and read again only when the file changes, so a test
// may rewrite the file between two calls and see the change.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <string>

#include "Inventory.h"
#include "VMInfoStatus.h"

class InventoryStore {
 public:
  static constexpr const char* kSettingsSection = "VirtualServer";
  static constexpr const char* kSettingsKey = "InventoryFile";

  // The current inventory, or a status that says why there is none.
  VMInfoStatus Load(std::shared_ptr<const Inventory>& inventory);

  // Parses inventory text. Relative guest folders are taken relative to `baseDir`. `origin` names
  // the text in error messages (the file path).
  static VMInfoStatus ParseText(const std::string& text, const std::string& baseDir, const std::string& origin,
                                Inventory& inventory);

 private:
  struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const FileIdentity& other) const;
  };

  std::string m_path;
  FileIdentity m_identity;
  std::shared_ptr<const Inventory> m_inventory;
};
