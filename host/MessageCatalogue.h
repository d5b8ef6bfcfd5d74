// The host's message catalogue: the readable text of each job message code the plug-in posts,
// filled with the text arguments that came with it.
#pragma once

#include <string>
#include <vector>

class MessageCatalogue {
 public:
  // The text of `code` with its arguments put in place. A code the catalogue does not know, or a
  // message that came with fewer arguments than its text needs, is still shown in full: the code
  // in hexadecimal followed by every argument, so that nothing the plug-in said is lost.
  static std::string Render(int code, const std::vector<std::string>& arguments);

  // As Render, with the advice that fits what really failed: a message whose usual advice is about
  // credentials advises on the address and the network instead when `cause` (JobSummary's
  // FailureCause of the job's reason) says the guest was unreachable or did not answer in time.
  static std::string Render(int code, const std::vector<std::string>& arguments, const std::string& cause);

  // The text of a code with "%1", "%2", ... for its arguments; empty for an unknown code.
  static std::string Template(int code);
};
