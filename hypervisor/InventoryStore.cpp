#include "hypervisor/InventoryStore.h"

#include <sys/stat.h>

#include <boost/algorithm/string/predicate.hpp>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/InputLimits.h"
#include "platform/ProxyInputFile.h"
#include "platform/ZQPlatformInfo.h"

using nlohmann::json;

namespace {

// Room for some ten thousand VMs with their addresses and logins.
constexpr JsonLimits kInventoryLimits{16 * 1024 * 1024, kJsonMaxDepth};

// A fault in the inventory's content; `where` is the JSON path of the offending value.
struct InventoryFormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(const std::string& where, const std::string& what) {
  throw InventoryFormatError(where + " " + what);
}

// Typed access to the members of one JSON object, with the object's JSON path for messages.
class JsonObjectReader {
 public:
  JsonObjectReader(const json& object, std::string where) : m_object(object), m_where(std::move(where)) {
    if (!m_object.is_object()) Refuse(m_where, "must be an object");
  }

  const std::string& where() const { return m_where; }
  std::string WhereOf(const std::string& key) const { return m_where + "." + key; }
  bool Has(const std::string& key) const { return m_object.contains(key) && !m_object.at(key).is_null(); }

  std::string RequiredText(const std::string& key) const {
    if (!Has(key)) Refuse(WhereOf(key), "is missing");
    std::string value = Text(key, "");
    if (value.empty()) Refuse(WhereOf(key), "must not be empty");
    return value;
  }
  std::string Text(const std::string& key, const std::string& fallback) const {
    if (!Has(key)) return fallback;
    const json& value = m_object.at(key);
    if (!value.is_string()) Refuse(WhereOf(key), "must be a string");
    return value.get<std::string>();
  }
  int Integer(const std::string& key, int fallback) const {
    if (!Has(key)) return fallback;
    const json& value = m_object.at(key);
    if (!value.is_number_integer()) Refuse(WhereOf(key), "must be an integer");
    // An unsigned number past the signed range would read back as a negative one.
    const bool unsignedTooLarge = value.is_number_unsigned() && value.get<unsigned long long>() > INT32_MAX;
    const long long number = unsignedTooLarge ? 0 : value.get<long long>();
    if (unsignedTooLarge || number < INT32_MIN || number > INT32_MAX) Refuse(WhereOf(key), "is out of range");
    return static_cast<int>(number);
  }
  bool Boolean(const std::string& key, bool fallback) const {
    if (!Has(key)) return fallback;
    const json& value = m_object.at(key);
    if (!value.is_boolean()) Refuse(WhereOf(key), "must be true or false");
    return value.get<bool>();
  }
  // The array under `key`, or an empty array when absent.
  const json& Array(const std::string& key) const {
    static const json kEmpty = json::array();
    if (!Has(key)) return kEmpty;
    const json& value = m_object.at(key);
    if (!value.is_array()) Refuse(WhereOf(key), "must be an array");
    return value;
  }
  JsonObjectReader Object(const std::string& key) const { return JsonObjectReader(m_object.at(key), WhereOf(key)); }

 private:
  const json& m_object;
  std::string m_where;
};

std::string Indexed(const std::string& where, size_t index) { return where + "[" + std::to_string(index) + "]"; }

int ReadPowerState(const JsonObjectReader& vm) {
  const std::string word = vm.Text("powerState", "on");
  if (boost::algorithm::iequals(word, "on")) return 1;
  if (boost::algorithm::iequals(word, "off")) return 0;
  if (boost::algorithm::iequals(word, "suspended")) return 2;
  Refuse(vm.WhereOf("powerState"), "must be \"on\", \"off\" or \"suspended\"");
}

GuestOsFamily ReadGuestOs(const JsonObjectReader& vm) {
  const std::string word = vm.Text("guestOs", "unix");
  if (boost::algorithm::iequals(word, "unix")) return GuestOsFamily::Unix;
  if (boost::algorithm::iequals(word, "windows")) return GuestOsFamily::Windows;
  Refuse(vm.WhereOf("guestOs"), "must be \"unix\" or \"windows\"");
}

std::string AbsoluteFolder(const std::string& folder, const std::string& baseDir) {
  if (folder.empty() || folder.front() == '/' || baseDir.empty()) return folder;
  return baseDir + "/" + folder;
}

InventoryVM ReadVM(const JsonObjectReader& vm, const std::string& baseDir) {
  InventoryVM record;
  record.name = vm.RequiredText("name");
  record.guid = vm.Text("guid", "");
  record.host = vm.Text("host", "");
  record.powerState = ReadPowerState(vm);
  record.toolsStatus = vm.Integer("toolsStatus", 3);
  record.toolsDescription = vm.Text("toolsDescription", "");
  const json& addresses = vm.Array("guestIpAddresses");
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (!addresses[i].is_string()) Refuse(Indexed(vm.WhereOf("guestIpAddresses"), i), "must be a string");
    record.guestIpAddresses.push_back(addresses[i].get<std::string>());
  }
  record.guestFolder = AbsoluteFolder(vm.Text("guestFolder", ""), baseDir);
  record.guestOs = ReadGuestOs(vm);
  if (vm.Has("guestLogin")) {
    const JsonObjectReader login = vm.Object("guestLogin");
    record.guestUser = login.RequiredText("user");
    record.guestPassword = login.Text("password", "");
  }
  if (vm.Has("guestPreparation")) {
    const JsonObjectReader answer = vm.Object("guestPreparation");
    record.preparation.errorCode = answer.Integer("errorCode", 0);
    record.preparation.errorText = answer.Text("errorText", "");
  }
  return record;
}

InventoryServer ReadServer(const JsonObjectReader& server, const std::string& baseDir) {
  InventoryServer record;
  record.name = server.RequiredText("name");
  record.instanceType = server.Integer("instanceType", 0);
  record.answers = server.Boolean("answers", true);
  const json& credentials = server.Array("credentials");
  for (size_t i = 0; i < credentials.size(); ++i) {
    const JsonObjectReader credential(credentials[i], Indexed(server.WhereOf("credentials"), i));
    record.credentials.push_back({credential.RequiredText("user"), credential.Text("password", "")});
  }
  const json& vms = server.Array("vms");
  for (size_t i = 0; i < vms.size(); ++i) {
    record.vms.push_back(ReadVM(JsonObjectReader(vms[i], Indexed(server.WhereOf("vms"), i)), baseDir));
  }
  return record;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

VMInfoStatus InventoryStore::ParseText(const std::string& text, const std::string& baseDir, const std::string& origin,
                                       Inventory& inventory) {
  json document;
  std::string error;
  if (!ParseJsonWithLimits(text, kInventoryLimits, document, error)) {
    return VMInfoStatus::Fail(VMInfoError::InventoryUnusable, "Inventory file [" + origin + "] is " + error);
  }
  try {
    const JsonObjectReader root(document, "inventory");
    if (!root.Has("servers")) Refuse(root.WhereOf("servers"), "is missing");
    const json& servers = root.Array("servers");
    Inventory parsed;
    for (size_t i = 0; i < servers.size(); ++i) {
      parsed.servers.push_back(ReadServer(JsonObjectReader(servers[i], Indexed("servers", i)), baseDir));
    }
    inventory = std::move(parsed);
    return VMInfoStatus::Ok();
  } catch (const InventoryFormatError& fault) {
    return VMInfoStatus::Fail(VMInfoError::InventoryUnusable,
                              "Inventory file [" + origin + "] is malformed: " + fault.what());
  }
}

VMInfoStatus InventoryStore::Load(Inventory& inventory) {
  std::string path;
  if (!ZQPlatformInfo::getString(kSettingsSection, kSettingsKey, &path) || path.empty()) {
    return VMInfoStatus::Fail(VMInfoError::InventoryUnusable,
                              "No inventory file is configured; set InventoryFile in section VirtualServer of the "
                              "settings");
  }
  // The inventory says which host gets which password: opened as the other instructions are.
  std::string text;
  std::string reason;
  bool missing = false;
  if (!ProxyInputFile::ReadText(path, ProxyInputFile::Role::Config, kInventoryLimits.maxBytes, text, reason,
                                &missing)) {
    return VMInfoStatus::Fail(VMInfoError::InventoryUnusable,
                              "Inventory file [" + path + "] " +
                                  (missing ? "cannot be read: " + std::string(std::strerror(ENOENT)) : reason));
  }
  return ParseText(text, ParentFolder(path), path, inventory);
}
