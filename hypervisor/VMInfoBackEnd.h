// What both back-ends of the VM-information component share: the instance type they were made
// for, the last error and the way every operation reports. Each operation runs its body through
// Run, which clears the last error first; a failing body records its code and text (VMInfoStatus.h)
// for GetLastErrorCode and GetLastErrorString, writes one error line under the operation's origin
// and makes the operation return 0. No exception leaves an operation.
#pragma once

#include <functional>
#include <string>

#include "hypervisor/VMInfoStatus.h"
#include "platform/EvEvent.h"
#include "vminfo/IVMInfo.h"

class VMInfoBackEnd : public IVMInfo {
 public:
  // The instance type the component was created for.
  VirtualServerInstanceType GetInstanceType() override;
  int GetLastErrorCode() override;
  std::string GetLastErrorString() override;

 protected:
  explicit VMInfoBackEnd(VirtualServerInstanceType instanceType);

  // Runs `body` with the last error cleared, records and logs its failure under `origin`, and
  // turns any exception into a failure. Returns 1 or 0.
  int Run(const char* origin, const std::function<VMInfoStatus()>& body);
  // Fails an operation the back-end does not offer: NotSupported with `text`, through Run.
  int RefuseUnsupported(const char* origin, const std::string& text);

  const VirtualServerInstanceType m_instanceType;
  EvEvent m_log;

 private:
  int m_lastErrorCode = 0;
  std::string m_lastErrorText;
};
