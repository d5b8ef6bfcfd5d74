// Runs PowerShell scripts as the guest's powershell.exe runs a -Command: the whole script is read
// first (a script that does not read runs nothing), then statement by statement. A cmdlet that
// cannot do its work for one item writes an error and goes on; an error of the language itself
// (a method call on $null, an assignment to a property that is not there, an unknown command)
// ends the statement it happens in, and the script goes on with the next one. The exit status
// is 0 when the last statement succeeded and 1 otherwise, as powershell.exe reports it.
#pragma once

#include <map>
#include <string>

#include "PsParser.h"
#include "PsValue.h"
#include "StandInConfig.h"

namespace winguest {

// An error that ends the current statement; also the shape of every error record written.
struct PsError {
  std::string command;   // the cmdlet that failed, or empty
  std::string message;
  std::string category;  // e.g. "ObjectNotFound: (C:\x:String) [Get-Item], ItemNotFoundException"
  std::string errorId;   // e.g. "PathNotFound,Microsoft.PowerShell.Commands.GetItemCommand"
};

class PsInterpreter {
 public:
  PsInterpreter(GuestFileSystem& files, const StandInConfig& config, std::map<std::string, std::string> environment);

  // Reads and runs `script`, appending what it prints to `out` and its error records to `err`.
  int Run(const std::string& script, std::string& out, std::string& err);

  // For the commands.
  GuestFileSystem& Files() { return m_files; }
  const StandInConfig& Config() const { return m_config; }
  const CultureInfo& Culture() const { return *m_culture; }
  void WriteHost(const std::string& text) { *m_out += text; }
  void WriteError(const PsError& error);

 private:
  void ExecBlock(const ps::Block& block, PsArray& output);
  void ExecStatement(const ps::Stmt& stmt, PsArray& output);
  void ExecPipeline(const std::vector<ps::PipelineElement>& pipeline, PsArray& output);
  void RunCommand(const ps::Command& command, const PsArray& input, PsArray& output);

  PsValue Eval(const ps::Expr& expr);
  PsValue EvalBinary(const ps::Expr& expr);
  void Assign(const ps::Expr& target, const PsValue& value);

  PsValue GetVariable(const std::string& name) const;
  void SetVariable(const std::string& name, const PsValue& value);
  PsValue GetMember(const PsValue& target, const std::string& name) const;
  void SetMember(const PsValue& target, const std::string& name, const PsValue& value);
  PsValue CallMethod(const PsValue& target, const std::string& name, const std::vector<PsValue>& arguments);
  PsValue GetStaticMember(const std::string& typeName, const std::string& name) const;

  void OutDefault(const PsArray& output);

  GuestFileSystem& m_files;
  const StandInConfig& m_config;
  const CultureInfo* m_culture;
  std::map<std::string, std::string> m_environment;  // names in lower case
  std::map<std::string, PsValue> m_variables;        // names in lower case
  std::string* m_out = nullptr;
  std::string* m_err = nullptr;
  size_t m_errorCount = 0;
  bool m_succeeded = true;  // $?
};

// Collapses a statement's output the way an assignment does: nothing is $null, one object is
// itself, more are an array.
PsValue Collapse(const PsArray& output);

}  // namespace winguest
