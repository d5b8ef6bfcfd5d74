#include "PowerShellHost.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/locale/encoding_utf.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "PsCommands.h"
#include "PsInterpreter.h"

namespace winguest {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Switches of powershell.exe that take a value and those that do not; names may be shortened.
bool MatchesSwitch(const std::string& given, const char* name, size_t shortest) {
  return given.size() >= shortest && boost::algorithm::istarts_with(name, given);
}

CommandResult Failure(const std::string& message) {
  CommandResult result;
  result.err = message + "\r\n";
  result.status = 1;
  return result;
}

}  // namespace

std::vector<std::string> SplitWindowsCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (size_t i = 0; i < commandLine.size();) {
    const char c = commandLine[i];
    if (c == '\\') {
      size_t backslashes = 0;
      while (i < commandLine.size() && commandLine[i] == '\\') {
        ++backslashes;
        ++i;
      }
      inWord = true;
      if (i < commandLine.size() && commandLine[i] == '"') {
        word.append(backslashes / 2, '\\');
        if (backslashes % 2) {
          word += '"';
          ++i;
        }
      } else {
        word.append(backslashes, '\\');
      }
      continue;
    }
    if (c == '"') {
      inWord = true;
      if (quoted && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
        word += '"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    if (IsBlank(c) && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      ++i;
      continue;
    }
    word += c;
    inWord = true;
    ++i;
  }
  if (inWord) words.push_back(word);
  return words;
}

bool DecodeEncodedCommand(const std::string& base64, std::string& script) {
  using namespace boost::archive::iterators;
  using Decoder = transform_width<binary_from_base64<std::string::const_iterator>, 8, 6>;
  if (base64.empty() || base64.size() % 4 != 0) return false;
  const size_t padding = base64.find_first_of('=') == std::string::npos ? 0 : base64.size() - base64.find('=');
  if (padding > 2 || base64.find_first_not_of('=', base64.size() - padding) != std::string::npos) return false;
  const std::string body = base64.substr(0, base64.size() - padding) + std::string(padding, 'A');
  if (body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") != std::string::npos) {
    return false;
  }
  std::string bytes(Decoder(body.begin()), Decoder(body.end()));
  bytes.resize(bytes.size() - padding);
  if (bytes.size() % 2 != 0) return false;
  std::u16string utf16;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    utf16 += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  try {
    script = boost::locale::conv::utf_to_utf<char>(utf16, boost::locale::conv::stop);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

PowerShellHost::PowerShellHost(GuestFileSystem& files, const StandInConfig& config,
                               std::map<std::string, std::string> environment, Journal& journal)
    : m_files(files), m_config(config), m_environment(std::move(environment)), m_journal(journal) {}

PowerShellHost::~PowerShellHost() = default;

void PowerShellHost::Start() {
  m_journal.Add("powershellStart", std::to_string(m_config.powerShellStartMs));
  if (m_config.powerShellStartMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_config.powerShellStartMs));
  if (m_config.engine != "pwsh") return;
  m_pwsh = std::make_unique<RealPowerShell>();
  const std::string home = m_config.root + "/.pwsh-home";
  std::string error;
  CommandResult prepared;
  if (::mkdir(home.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make " + home;
  } else if (m_pwsh->Start(home, error, {"LANG=" + boost::algorithm::replace_all_copy(m_config.culture, "-", "_") + ".UTF-8", "LC_ALL="}) &&
             !(m_pwsh->Run(PwshGuestScript(), prepared) && prepared.status == 0)) {
    error = "pwsh did not take the guest's drives: " + prepared.err;
  }
  if (!error.empty()) {
    m_journal.Add("pwshError", error);
    m_pwsh.reset();
  }
}

std::string PowerShellHost::PwshGuestScript() const {
  const auto quoted = [](const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  };
  std::string script = "$ErrorActionPreference='Stop';";
  for (char drive : m_files.Drives()) {
    script += "New-PSDrive -Name " + std::string(1, drive) + " -PSProvider FileSystem -Root " +
              quoted(m_config.root + "/" + std::string(1, drive)) + " -Scope Global | Out-Null;";
  }
  std::string volumes;
  if (m_config.volumes) {
    for (const VolumeSpec& volume : *m_config.volumes) {
      volumes += (volumes.empty() ? "" : ",") + std::string("@(") + quoted(volume.driveLetter) + "," +
                 quoted(volume.driveType) + ")";
    }
  } else {
    for (char drive : m_files.Drives()) volumes += (volumes.empty() ? "" : ",") + std::string("@('") + drive + "','Fixed')";
  }
  script += "function global:get-volume {foreach($v in @(" + volumes +
            ")) {[pscustomobject]@{DriveLetter=$(if ($v[0]) {[char]$v[0]} else {$null}); DriveType=$v[1]}}};";
  script += "function global:systeminfo {" + quoted(SystemInfoText(m_config.osName)) + "};";
  const auto profile = m_environment.find("USERPROFILE");
  if (profile != m_environment.end()) {
    script += "if (Test-Path -LiteralPath " + quoted(profile->second) + ") {Set-Location -LiteralPath " +
              quoted(profile->second) + "}";
  }
  return script;
}

CommandResult PowerShellHost::RunScript(const std::string& script) {
  m_journal.Add("powershell", script);
  CommandResult result;
  if (m_config.engine == "pwsh") {
    if (!m_pwsh) {
      result.err = "pwsh is not running (" + PwshMissingReason() + ")\r\n";
      result.status = 1;
    } else {
      m_pwsh->Run(script, result);
    }
    return result;
  }
  PsInterpreter interpreter(m_files, m_config, m_environment);
  result.status = interpreter.Run(script, result.out, result.err);
  return result;
}

CommandResult PowerShellHost::Run(const std::string& arguments, const std::string&) {
  Start();
  const std::vector<std::string> words = SplitWindowsCommandLine(arguments);
  std::string script;
  bool haveScript = false;
  for (size_t i = 0; i < words.size() && !haveScript; ++i) {
    const std::string& word = words[i];
    const bool isSwitch = word.size() > 1 && (word[0] == '-' || word[0] == '/');
    const std::string name = isSwitch ? word.substr(1) : "";
    if (!isSwitch) {
      for (size_t k = i; k < words.size(); ++k) script += (k == i ? "" : " ") + words[k];
      haveScript = true;
    } else if (MatchesSwitch(name, "Command", 1)) {
      for (size_t k = i + 1; k < words.size(); ++k) script += (k == i + 1 ? "" : " ") + words[k];
      haveScript = true;
    } else if (MatchesSwitch(name, "EncodedCommand", 1) || boost::algorithm::iequals(name, "ec")) {
      if (i + 1 >= words.size()) return Failure("Missing parameter for -EncodedCommand.");
      if (!DecodeEncodedCommand(words[i + 1], script)) {
        return Failure(
            "Cannot process the command because the value specified with -EncodedCommand is not properly encoded. "
            "The value must be Base64 encoded.");
      }
      haveScript = true;
    } else if (MatchesSwitch(name, "NoProfile", 3) || MatchesSwitch(name, "NonInteractive", 4) ||
               MatchesSwitch(name, "NoLogo", 3)) {
      continue;
    } else if (MatchesSwitch(name, "ExecutionPolicy", 2) || MatchesSwitch(name, "InputFormat", 2) ||
               MatchesSwitch(name, "OutputFormat", 2)) {
      ++i;
    } else {
      // An unknown switch starts the command, as in Windows PowerShell 5.1.
      for (size_t k = i; k < words.size(); ++k) script += (k == i ? "" : " ") + words[k];
      haveScript = true;
    }
  }
  if (!haveScript) return Failure("This guest runs PowerShell with a command only.");
  return RunScript(script);
}

}  // namespace winguest
