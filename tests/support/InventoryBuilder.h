// Builds an inventory file for the embedded hypervisor (libVMInfo.so, docs/inventory.md) from a test:
//
//   zqtest::InventoryBuilder inventory;
//   auto& server = inventory.AddServer("vc1").InstanceType(101).Credential("admin", "secret");
//   server.AddVm("web01").Guid("4203-aa").UnixGuest(guestDir.path()).GuestLogin("root", "pw");
//   inventory.WriteTo(tmp.Join("inventory.json"));
//   settings.Set("VirtualServer", "InventoryFile", tmp.Join("inventory.json"));
//
// A VM starts powered on, with tools status 3; every other value is absent until set.
#pragma once

#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zqtest {

class InventoryBuilder {
 public:
  class Vm {
   public:
    explicit Vm(std::string name) { m_json["name"] = std::move(name); }
    Vm& Guid(const std::string& guid) { return Set("guid", guid); }
    Vm& Host(const std::string& host) { return Set("host", host); }
    Vm& PoweredOn() { return Set("powerState", "on"); }
    Vm& PoweredOff() { return Set("powerState", "off"); }
    Vm& Suspended() { return Set("powerState", "suspended"); }
    Vm& Tools(int status, const std::string& description) {
      Set("toolsStatus", status);
      return Set("toolsDescription", description);
    }
    Vm& IpAddresses(const std::vector<std::string>& addresses) { return Set("guestIpAddresses", addresses); }
    Vm& UnixGuest(const std::string& guestFolder) {
      Set("guestOs", "unix");
      return Set("guestFolder", guestFolder);
    }
    Vm& WindowsGuest(const std::string& guestFolder) {
      Set("guestOs", "windows");
      return Set("guestFolder", guestFolder);
    }
    Vm& GuestLogin(const std::string& user, const std::string& password) {
      return Set("guestLogin", nlohmann::json{{"user", user}, {"password", password}});
    }
    Vm& PreparationFails(int errorCode, const std::string& errorText) {
      return Set("guestPreparation", nlohmann::json{{"errorCode", errorCode}, {"errorText", errorText}});
    }
    // Any other member, for tests of malformed inventories.
    Vm& Set(const std::string& key, nlohmann::json value) {
      m_json[key] = std::move(value);
      return *this;
    }
    const nlohmann::json& ToJson() const { return m_json; }

   private:
    nlohmann::json m_json = nlohmann::json::object();
  };

  class Server {
   public:
    explicit Server(std::string name) { m_json["name"] = std::move(name); }
    Server& InstanceType(int type) { return Set("instanceType", type); }
    Server& NotAnswering() { return Set("answers", false); }
    Server& Credential(const std::string& user, const std::string& password) {
      m_credentials.push_back(nlohmann::json{{"user", user}, {"password", password}});
      return *this;
    }
    Vm& AddVm(const std::string& name) { return m_vms.emplace_back(name); }
    Server& Set(const std::string& key, nlohmann::json value) {
      m_json[key] = std::move(value);
      return *this;
    }
    nlohmann::json ToJson() const {
      nlohmann::json server = m_json;
      server["credentials"] = m_credentials;
      server["vms"] = nlohmann::json::array();
      for (const Vm& vm : m_vms) server["vms"].push_back(vm.ToJson());
      return server;
    }

   private:
    nlohmann::json m_json = nlohmann::json::object();
    nlohmann::json m_credentials = nlohmann::json::array();
    std::deque<Vm> m_vms;  // a deque keeps the references AddVm handed out valid
  };

  Server& AddServer(const std::string& name) { return m_servers.emplace_back(name); }

  nlohmann::json ToJson() const {
    nlohmann::json inventory{{"servers", nlohmann::json::array()}};
    for (const Server& server : m_servers) inventory["servers"].push_back(server.ToJson());
    return inventory;
  }
  std::string ToText() const { return ToJson().dump(2); }
  void WriteTo(const std::string& path) const {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << ToText();
    if (!file.good()) throw std::runtime_error("cannot write inventory " + path);
  }

 private:
  std::deque<Server> m_servers;
};

}  // namespace zqtest
