#include "tools/WindowsShellSession.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "tools/GuestSessionChannel.h"

namespace WindowsShellSession {

namespace {

using namespace GuestSessionChannel;

// The socket name's letter for Windows sessions.
constexpr char kSocketKind = 'w';
// What the Windows channel puts before powershell.exe's arguments inside "cmd
// /c".
constexpr const char* kPipedPowerShell = "echo . | powershell ";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Strict base64 (padding only at the end) of UTF-16LE text, as UTF-8; false for
// anything else.
bool DecodeEncodedCommand(const std::string& base64, std::string& script) {
  if (base64.empty() || base64.size() % 4 != 0 || base64.size() > 4 * kMaxScriptBytes) return false;
  const size_t padding = base64.size() - base64.find_last_not_of('=') - 1;
  const size_t stray = base64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  if (padding > 2 || (stray != std::string::npos && stray < base64.size() - padding)) return false;
  std::string bytes(base64.size() / 4 * 3, '\0');
  const int length =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
  if (length < 0 || static_cast<size_t>(length) < padding) return false;
  bytes.resize(static_cast<size_t>(length) - padding);
  if (bytes.size() % 2 != 0) return false;
  script.clear();
  for (size_t i = 0; i < bytes.size(); i += 2) {
    unsigned long code = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (code >= 0xDC00 && code <= 0xDFFF) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return false;
      const unsigned long low =
          static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (code < 0x80) {
      script += static_cast<char>(code);
    } else if (code < 0x800) {
      script += static_cast<char>(0xC0 | (code >> 6));
      script += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      script += static_cast<char>(0xE0 | (code >> 12));
      script += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      script += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      script += static_cast<char>(0xF0 | (code >> 18));
      script += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      script += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      script += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return true;
}

// Whether `word` stands in `text` as a word of its own, letter case ignored.
bool HasWord(const std::string& text, const std::string& word) {
  auto isNamePart = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; };
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    bool same = true;
    for (size_t k = 0; k < word.size() && same; ++k) {
      same = std::tolower(static_cast<unsigned char>(text[i + k])) == word[k];
    }
    if (same && (i == 0 || !isNamePart(text[i - 1])) &&
        (i + word.size() == text.size() || !isNamePart(text[i + word.size()]))) {
      return true;
    }
  }
  return false;
}

std::string EncodeAsciiCommand(const std::string& script) {
  std::string utf16;
  for (char c : script) {
    utf16 += c;
    utf16 += '\0';
  }
  std::string encoded(4 * ((utf16.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                      reinterpret_cast<const unsigned char*>(utf16.data()), static_cast<int>(utf16.size()));
  encoded.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return encoded;
}

// The session process of a Windows login: each client's script goes to the one
// PowerShell.
class PowerShellSession : public SessionProcess {
 public:
  using SessionProcess::SessionProcess;

 private:
  bool Relay(int client) override {
    const long long clientDeadline = NowMs() + kConnectWaitMs * 5;
    std::string header, script;
    size_t scriptBytes = 0;
    if (!ReadLine(client, header, kMaxHeaderBytes, clientDeadline) ||
        !ParseCount(header, kMaxScriptBytes, scriptBytes) || !ReadExact(client, scriptBytes, script, clientDeadline)) {
      return true;
    }
    if (!WriteAll(m_toGuest, "S" + std::to_string(script.size()) + "\n" + script)) return false;
    const long long deadline = m_settings.commandTimeLimit > 0 ? NowMs() + m_settings.commandTimeLimit * 1000 : -1;
    std::string line, output, errors;
    size_t outputBytes = 0, errorBytes = 0, status = 0;
    if (!ReadLine(m_fromGuest, line, kMaxHeaderBytes, deadline) || line.empty() || line[0] != 'O' ||
        !ParseCount(line.substr(1), kMaxAnswerBytes, outputBytes) ||
        !ReadExact(m_fromGuest, outputBytes, output, deadline) ||
        !ReadLine(m_fromGuest, line, kMaxHeaderBytes, deadline) || line.empty() || line[0] != 'E' ||
        !ParseCount(line.substr(1), kMaxAnswerBytes, errorBytes) ||
        !ReadExact(m_fromGuest, errorBytes, errors, deadline) ||
        !ReadLine(m_fromGuest, line, kMaxHeaderBytes, deadline) || line.empty() || line[0] != 'C' ||
        !ParseCount(line.substr(1), 255, status)) {
      return false;
    }
    SendAnswer(client, output, errors, status);
    return true;
  }
};

// Sends the script and relays the answer. False when the session gave no
// complete answer in time.
bool Exchange(int fd, const std::string& script, long long deadline, int& status) {
  return WriteAll(fd, std::to_string(script.size()) + "\n" + script) &&
         RelayAnswer(fd, kMaxAnswerBytes, deadline, status);
}

}  // namespace

bool PowerShellScriptOf(const std::vector<std::string>& command, std::string& script) {
  const std::string prefix = kPipedPowerShell;
  if (command.size() != 3 || command[0] != "cmd" || command[1] != "/c" ||
      command[2].compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  const std::string arguments = command[2].substr(prefix.size());
  // What cmd reads (variables, escapes, operators), what powershell.exe's
  // command line reads (double quotes group words, and make backslashes before
  // them count), and line breaks: such lines run on their own, where the guest
  // reads them itself.
  if (arguments.find_first_of(std::string("%^&|<>\"\r\n\0", 11)) != std::string::npos) return false;
  std::vector<std::string> words;
  std::string word;
  for (char c : arguments + ' ') {
    if (!IsBlank(c)) {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (words.empty()) return false;
  script.clear();
  if (words[0] == "-EncodedCommand") {
    if (words.size() != 2 || !DecodeEncodedCommand(words[1], script)) return false;
  } else if (words[0][0] == '-' || words[0][0] == '/') {
    return false;  // a switch of powershell.exe the channel does not use
  } else {
    // powershell.exe joins the words of a -Command with one blank each.
    for (const std::string& part : words) script += (script.empty() ? "" : " ") + part;
  }
  // A script that ends its PowerShell would end the session's one too.
  return !script.empty() && script.size() <= kMaxScriptBytes && script.find('\0') == std::string::npos &&
         !HasWord(script, "exit");
}

const std::string& GuestLoop() {
  // Each request's script runs as a script block of its own (its variables end
  // with it) inside a loop that runs once, so that a stray break or continue
  // cannot leave the session's loop. Its errors are the error records it writes
  // and what it throws; the status is 1 when there were any, as powershell.exe
  // -Command exits. Write-Host text (information records) is output.
  static const std::string kLoop =
      "$ErrorActionPreference='Continue';"
      "$zi=[Console]::OpenStandardInput();$zo=[Console]::OpenStandardOutput();"
      "$zu=New-Object Text.UTF8Encoding $false;"
      "function "
      "zqSend([string]$t){$b=$zu.GetBytes($t);$zo.Write($b,0,$b.Length)}"
      "function "
      "zqFrame([string]$k,[string]$t){$b=$zu.GetBytes($t);zqSend(\"$k$($b."
      "Length)`n\");"
      "$zo.Write($b,0,$b.Length)}"
      "zqSend \"zqsession-ready`n\";$zo.Flush();"
      "while($true){$zh=New-Object IO.MemoryStream;"
      "while(($zc=$zi.ReadByte()) -ne 10){if($zc -lt 0 -or $zh.Length -gt "
      "64){exit};$zh.WriteByte($zc)};"
      "$zl=$zu.GetString($zh.ToArray());if($zl -notmatch "
      "'^S(\\d{1,8})$'){exit};"
      "$zn=[int]$Matches[1];$zs=New-Object byte[] $zn;$zg=0;"
      "while($zg -lt $zn){$zr=$zi.Read($zs,$zg,$zn-$zg);if($zr -le "
      "0){exit};$zg+=$zr};"
      "$zout=New-Object Text.StringBuilder;$zerr=New-Object Text.StringBuilder;"
      "try{do{& ([ScriptBlock]::Create($zu.GetString($zs))) *>&1 | "
      "ForEach-Object {"
      "if($_ -is "
      "[Management.Automation.ErrorRecord]){[void]$zerr.Append(($_|Out-String))"
      "}"
      "elseif($_ -is "
      "[Management.Automation.InformationRecord]){[void]$zout.Append(\"$_`n\")}"
      "else{[void]$zout.Append(($_|Out-String))}}}while($false)}"
      "catch{[void]$zerr.Append(($_|Out-String))};"
      "zqFrame 'O' $zout.ToString();zqFrame 'E' $zerr.ToString();"
      "zqSend \"C$([int]($zerr.Length -gt 0))`n\";$zo.Flush()}";
  return kLoop;
}

const std::string& GuestLoopCommand() {
  static const std::string kCommand =
      "powershell -NoLogo -NoProfile -NonInteractive -EncodedCommand " + EncodeAsciiCommand(GuestLoop());
  return kCommand;
}

GuestShellSession::Outcome RunScript(const SshToolSettings& settings, const std::vector<std::string>& sshOptions,
                                     const SshLogin& login, const std::string& script, const char* toolName,
                                     int& status) {
  using GuestShellSession::Outcome;
  status = 255;
  if (settings.guestSessionIdle <= 0 || script.size() > kMaxScriptBytes) return Outcome::NotTaken;
  const std::string socketPath = SocketPath(settings, login, kSocketKind);
  if (socketPath.empty()) return Outcome::NotTaken;
  bool refused = false;
  const int fd = ConnectOrStart(
      settings, login, socketPath, true,
      [&](int reportFd) {
        PowerShellSession session(settings, sshOptions, login, socketPath, GuestLoopCommand());
        return session.Serve(reportFd);
      },
      toolName, refused);
  if (refused) return Outcome::Failed;
  if (fd < 0) {
    std::fprintf(stderr, "%s: no PowerShell session at %s; the command runs on its own\n", toolName,
                 login.address.c_str());
    return Outcome::NotTaken;
  }
  const bool answered = Exchange(fd, script, ClientDeadline(settings), status);
  ::close(fd);
  if (!answered) {
    std::fprintf(stderr, "%s: the PowerShell session at %s ended before the command's answer\n", toolName,
                 login.address.c_str());
    status = 255;
    return Outcome::Failed;
  }
  return Outcome::Done;
}

}  // namespace WindowsShellSession
