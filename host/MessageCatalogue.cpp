#include "host/MessageCatalogue.h"

#include <cstdio>

#include "platform/JobMessageCodes.h"

namespace {

using namespace JobMessageCodes;

struct CatalogueEntry {
  int code;
  const char* text;  // %1, %2, ... stand for the arguments in the order the plug-in added them
};

// kMsgSentence carries one complete sentence built by the plug-in; every other code carries values
// and takes its wording from here. How many arguments come with a code is the plug-in's to say.
constexpr CatalogueEntry kCatalogue[] = {
    {kMsgVMNotFound, "Virtual machine [%1] was not found. Check the VM name and GUID in the job."},
    {kMsgVMNotPoweredOn, "Virtual machine [%1] is not powered on. Power it on and run the restore again."},
    {kMsgNoVMwareTools,
     "Virtual machine [%1] does not have VMware tools installed and running. Restore to the VM cannot continue."},
    {kMsgGuestLoginFailed,
     "Cannot connect to the guest of virtual machine [%1] as user [%2]. Check the guest credentials."},
    {kMsgHostOSNotSupported,
     "The host operating system of virtual machine [%1] is not supported for file-level restore "
     "(Windows 2012 R2 or later is needed): %2"},
    {kMsgGuestOSNotSupported,
     "The guest operating system of virtual machine [%1] is not supported for file-level restore "
     "(Windows 2008 R2 SP1 or later is needed): %2"},
    {kMsgConnectFailedWithReason, "The connection to server [%1] as user [%2] was refused: %3"},
    {kMsgConnectFailed,
     "The connection to server [%1] as user [%2] was refused. Check the server name and credentials."},
    {kMsgSentence, "%1"},
};

const CatalogueEntry* Find(int code) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

std::string Hex(int code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

// Replaces %1..%9 by the arguments; "%%" is a literal "%".
std::string Fill(const char* text, const std::vector<std::string>& arguments) {
  std::string result;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
      const size_t index = static_cast<size_t>(p[1] - '1');
      if (index < arguments.size()) result += arguments[index];
      ++p;
    } else if (*p == '%' && p[1] == '%') {
      result += '%';
      ++p;
    } else {
      result += *p;
    }
  }
  return result;
}

std::string Unformatted(int code, const std::vector<std::string>& arguments) {
  std::string result = "Message " + Hex(code);
  for (size_t i = 0; i < arguments.size(); ++i) {
    result += (i == 0 ? ": [" : ", [") + arguments[i] + "]";
  }
  return result;
}

}  // namespace

std::string MessageCatalogue::Template(int code) {
  const CatalogueEntry* entry = Find(code);
  return entry != nullptr ? entry->text : "";
}

std::string MessageCatalogue::Render(int code, const std::vector<std::string>& arguments) {
  const CatalogueEntry* entry = Find(code);
  const JobMessageCode* posted = FindCode(code);
  if (entry == nullptr || posted == nullptr || arguments.size() < static_cast<size_t>(posted->argumentCount)) {
    return Unformatted(code, arguments);
  }
  std::string text = Fill(entry->text, arguments);
  // Arguments beyond those the text uses are shown too.
  for (size_t i = static_cast<size_t>(posted->argumentCount); i < arguments.size(); ++i) {
    text += " [" + arguments[i] + "]";
  }
  return text;
}

std::string MessageCatalogue::Render(int code, const std::vector<std::string>& arguments, const std::string& cause) {
  std::string text = Render(code, arguments);
  if (code != kMsgGuestLoginFailed || (cause != "guest unreachable" && cause != "timed out")) return text;
  static const std::string kCredentialsAdvice = " Check the guest credentials.";
  const size_t advice = text.find(kCredentialsAdvice);
  if (advice == std::string::npos) return text;
  return text.replace(advice, kCredentialsAdvice.size(),
                      cause == "timed out"
                          ? " The guest did not answer in time: check that it is running and not overloaded."
                          : " The guest could not be reached: check its address and port, that it is running, and "
                            "that this proxy can reach it.");
}
