// Outcome of one operation of the VM-information component (either back-end): an error code that
// GetLastErrorCode reports and a text a user can act on.
#pragma once

#include <string>
#include <utility>

// Codes of the component. Guest preparation reports the code the inventory gives for the VM (in
// practice 14, 15, 164, 218, 219 or 220), so the component's own codes stay clear of those.
enum class VMInfoError : int {
  None = 0,
  VMNotFound = 1,          // no VM with the GUID or name on the connected server
  NotConnected = 2,        // an operation that needs a connection ran before ConnectToServer succeeded
  ServerUnknown = 3,       // the inventory lists no server of that name
  ServerNotAnswering = 4,  // the server is listed as not answering
  LoginRefused = 5,        // wrong user name or password for the server
  InventoryUnusable = 6,   // the inventory is not configured, cannot be read or is malformed
  VMNotPoweredOn = 7,
  GuestLoginRefused = 8,   // wrong guest user name or password
  GuestPathRefused = 9,    // the guest path is malformed or leads outside the guest folder
  GuestFileError = 10,     // a file operation in the guest folder failed
  NotSupported = 11,       // the operation has no meaning for this hypervisor
  BadArgument = 12,        // an argument the caller must supply is missing
  ServerKindMismatch = 13, // the server is of another hypervisor kind than the component
  GuestAgent = 16,         // the guest agent does not answer, or refuses or blocks a command
  Internal = 100           // an unexpected fault inside the component
};

class VMInfoStatus {
 public:
  VMInfoStatus() = default;
  static VMInfoStatus Ok() { return VMInfoStatus(); }
  static VMInfoStatus Fail(VMInfoError code, std::string text) { return VMInfoStatus(static_cast<int>(code), std::move(text)); }
  // A failure with a code taken from the inventory (guest preparation).
  static VMInfoStatus FailWithCode(int code, std::string text) { return VMInfoStatus(code, std::move(text)); }

  bool ok() const { return m_code == 0; }
  int code() const { return m_code; }
  const std::string& text() const { return m_text; }

 private:
  VMInfoStatus(int code, std::string text) : m_code(code), m_text(std::move(text)) {}

  int m_code = 0;
  std::string m_text;
};
