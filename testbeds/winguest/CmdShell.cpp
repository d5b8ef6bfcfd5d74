#include "CmdShell.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <algorithm>
#include <vector>

namespace winguest {

namespace {

constexpr size_t kMaxCommandLine = 8191;  // cmd refuses longer lines
constexpr int kMaxDepth = 8;              // nested cmd instances

const char kNotRecognized[] =
    " is not recognized as an internal or external command,\r\noperable program or batch file.\r\n";

enum class Joint { None, Pipe, Sequence, And, Or };

struct Segment {
  std::string text;  // carets consumed, quotes kept
  Joint next = Joint::None;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Step 3: splits at the operators outside double quotes. False with a message for what this
// guest does not run.
bool SplitAtOperators(const std::string& line, std::vector<Segment>& segments, std::string& error) {
  segments.assign(1, Segment{});
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    std::string& text = segments.back().text;
    if (c == '"') {
      quoted = !quoted;
      text += c;
      continue;
    }
    if (quoted) {
      text += c;
      continue;
    }
    if (c == '^') {
      if (i + 1 < line.size()) text += line[++i];
      continue;
    }
    if (c == '<' || c == '>') {
      error = "redirection is not available on this guest";
      return false;
    }
    if (c == '(' && boost::algorithm::trim_copy(text).empty()) {
      error = "parenthesised blocks are not available on this guest";
      return false;
    }
    if (c == '|' || c == '&') {
      const bool doubled = i + 1 < line.size() && line[i + 1] == c;
      segments.back().next = c == '|' ? (doubled ? Joint::Or : Joint::Pipe) : (doubled ? Joint::And : Joint::Sequence);
      if (doubled) ++i;
      segments.push_back(Segment{});
      continue;
    }
    text += c;
  }
  return true;
}

// The command name: up to a blank or one of cmd's word delimiters outside quotes, quotes removed.
void SplitCommandName(const std::string& command, std::string& name, std::string& rest) {
  size_t i = 0;
  while (i < command.size() && (IsBlank(command[i]) || command[i] == '@')) ++i;
  bool quoted = false;
  name.clear();
  for (; i < command.size(); ++i) {
    const char c = command[i];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && (IsBlank(c) || c == ',' || c == ';' || c == '=')) break;
    name += c;
  }
  rest = command.substr(i);
}

std::string WithoutExe(const std::string& name) {
  std::string lower = boost::algorithm::to_lower_copy(name);
  if (boost::algorithm::ends_with(lower, ".exe")) lower.resize(lower.size() - 4);
  const size_t slash = lower.find_last_of("\\/");
  return slash == std::string::npos ? lower : lower.substr(slash + 1);
}

}  // namespace

CmdShell::CmdShell(std::map<std::string, std::string> environment, ProgramRunner programs, CommandObserver observer)
    : m_programs(std::move(programs)), m_observer(std::move(observer)) {
  for (const auto& [name, value] : environment) m_environment[boost::algorithm::to_upper_copy(name)] = value;
}

std::string CmdShell::ExpandVariables(const std::string& line) const {
  std::string out;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] != '%') {
      out += line[i++];
      continue;
    }
    const size_t close = line.find('%', i + 1);
    if (close == std::string::npos) {
      out += line.substr(i);
      break;
    }
    const std::string name = line.substr(i + 1, close - i - 1);
    const auto found = m_environment.find(boost::algorithm::to_upper_copy(name));
    if (!name.empty() && found != m_environment.end()) {
      out += found->second;
      i = close + 1;
    } else {
      // Undefined: the text stays, and the closing % may open the next reference.
      out += line.substr(i, close - i);
      i = close;
    }
  }
  return out;
}

CommandResult CmdShell::RunSlashC(const std::string& commandString, const std::string& input, bool slashS) {
  return RunSlashCAt(commandString, input, slashS, 0);
}

CommandResult CmdShell::RunSlashCAt(const std::string& commandString, const std::string& input, bool slashS,
                                    int depth) {
  std::string line = boost::algorithm::trim_left_copy(commandString);
  if (!line.empty() && line[0] == '"') {
    const size_t quotes = std::count(line.begin(), line.end(), '"');
    const size_t close = line.find('"', 1);
    const std::string quotedPart = close == std::string::npos ? "" : line.substr(1, close - 1);
    const bool keepQuotes = !slashS && quotes == 2 && quotedPart.find_first_of("&<>()@^|") == std::string::npos &&
                            quotedPart.find_first_of(" \t") != std::string::npos && IsProgramName(quotedPart);
    if (!keepQuotes) {
      line.erase(0, 1);
      const size_t last = line.rfind('"');
      if (last != std::string::npos) line.erase(last, 1);
    }
  }
  return RunLine(line, input, depth);
}

CommandResult CmdShell::RunLine(const std::string& rawLine, const std::string& input, int depth) {
  CommandResult result;
  if (rawLine.size() > kMaxCommandLine) {
    result.err = "The command line is too long.\r\n";
    result.status = 1;
    return result;
  }
  if (depth > kMaxDepth) {
    result.err = "cmd nested too deeply\r\n";
    result.status = 1;
    return result;
  }
  const std::string line = ExpandVariables(rawLine);
  std::vector<Segment> segments;
  std::string error;
  if (!SplitAtOperators(line, segments, error)) {
    result.err = error + "\r\n";
    result.status = 1;
    return result;
  }
  std::string pipeInput = input;
  bool skipNext = false;
  for (size_t i = 0; i < segments.size(); ++i) {
    const Segment& segment = segments[i];
    const Joint before = i == 0 ? Joint::None : segments[i - 1].next;
    if (boost::algorithm::trim_copy(segment.text).empty()) {
      if (segment.next != Joint::None || before != Joint::None) {
        result.err += "The syntax of the command is incorrect.\r\n";
        result.status = 1;
        return result;
      }
      continue;
    }
    if (skipNext) {
      skipNext = segment.next == Joint::Pipe;
      continue;
    }
    const bool piped = before == Joint::Pipe || segment.next == Joint::Pipe;
    // A side of a pipe is read again by its own cmd; a plain command runs as parsed.
    CommandResult step = piped ? RunLine(segment.text, pipeInput, depth + 1) : RunSimple(segment.text, pipeInput, depth);
    result.err += step.err;
    result.status = step.status;
    if (segment.next == Joint::Pipe) {
      pipeInput = step.out;
      continue;
    }
    result.out += step.out;
    pipeInput = input;
    if (segment.next == Joint::And) skipNext = step.status != 0;
    if (segment.next == Joint::Or) skipNext = step.status == 0;
  }
  return result;
}

CommandResult CmdShell::RunSimple(const std::string& command, const std::string& input, int depth) {
  if (m_observer) m_observer(boost::algorithm::trim_copy(command));
  std::string name;
  std::string rest;
  SplitCommandName(command, name, rest);
  CommandResult result;
  const std::string program = WithoutExe(name);
  if (program == "echo" || program == "echo.") {
    // echo prints everything after the one delimiter that follows its name.
    const std::string text = rest.empty() ? "ECHO is on." : rest.substr(1);
    result.out = text + "\r\n";
    return result;
  }
  if (program == "cmd") return RunCmd(rest, input, depth);
  if (m_programs && m_programs(name, boost::algorithm::trim_left_copy(rest), input, result)) return result;
  result.err = "'" + name + "'" + kNotRecognized;
  result.status = 1;
  return result;
}

CommandResult CmdShell::RunCmd(const std::string& arguments, const std::string& input, int depth) {
  bool slashS = false;
  size_t i = 0;
  while (i < arguments.size()) {
    while (i < arguments.size() && IsBlank(arguments[i])) ++i;
    if (i + 1 < arguments.size() && arguments[i] == '/') {
      const char option = static_cast<char>(std::tolower(static_cast<unsigned char>(arguments[i + 1])));
      i += 2;
      if (option == 'c' || option == 'k') return RunSlashCAt(arguments.substr(i), input, slashS, depth + 1);
      if (option == 's') slashS = true;
      while (i < arguments.size() && !IsBlank(arguments[i])) ++i;
      continue;
    }
    break;
  }
  CommandResult result;
  result.err = "cmd: an interactive session is not available on this guest\r\n";
  result.status = 1;
  return result;
}

bool CmdShell::IsProgramName(const std::string& name) const {
  const std::string program = WithoutExe(name);
  return program == "cmd" || program == "powershell" || program == "systeminfo";
}

std::map<std::string, std::string> GuestEnvironment(const std::string& userName) {
  const std::string profile = "C:\\Users\\" + userName;
  return {
      {"ALLUSERSPROFILE", "C:\\ProgramData"},
      {"APPDATA", profile + "\\AppData\\Roaming"},
      {"COMPUTERNAME", "WINGUEST"},
      {"ComSpec", "C:\\Windows\\system32\\cmd.exe"},
      {"HOMEDRIVE", "C:"},
      {"HOMEPATH", "\\Users\\" + userName},
      {"LOCALAPPDATA", profile + "\\AppData\\Local"},
      {"OS", "Windows_NT"},
      {"Path",
       "C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem;"
       "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\;C:\\Windows\\System32\\OpenSSH\\"},
      {"PATHEXT", ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
      {"ProgramData", "C:\\ProgramData"},
      {"ProgramFiles", "C:\\Program Files"},
      {"SystemDrive", "C:"},
      {"SystemRoot", "C:\\Windows"},
      {"TEMP", profile + "\\AppData\\Local\\Temp"},
      {"TMP", profile + "\\AppData\\Local\\Temp"},
      {"USERNAME", userName},
      {"USERPROFILE", profile},
      {"windir", "C:\\Windows"},
  };
}

}  // namespace winguest
