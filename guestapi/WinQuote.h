// Quoting for the layers a command line of the Windows channel passes through, in one place:
//
//   proxy shell (/bin/sh -c)   reads the whole line; the PowerShell one-liner stands inside its
//                              double quotes, the copy tool's two paths inside its single quotes;
//   guest cmd                  expands %NAME% and reads & | < > ^ " in the one-liner (the double
//                              quotes never reach it: the proxy shell consumed them);
//   powershell.exe             splits its command line into words and joins them with one blank,
//                              so runs of blanks and tabs are lost and double quotes vanish;
//   PowerShell                 reads a path between single quotes, where the quote characters
//                              ' ‘ ’ ‚ ‛ end the string unless doubled.
//
// A one-liner whose paths pass cmd and powershell.exe unchanged is sent as text; any other is
// sent as -EncodedCommand, which none of the layers reads. Words of the proxy shell alone (the
// tools, the login, the copy's paths) are quoted by ShellQuote.
#pragma once

#include <string>

namespace WinQuote {

// The text of a PowerShell single-quoted string that stands for `text`: every character
// PowerShell takes for a single quote (' U+2018 U+2019 U+201A U+201B) is doubled.
std::string PowerShellQuoteContent(const std::string& text);

// `text` escaped for a place between double quotes of a POSIX shell: "$", "`" and "\"" gain a
// backslash, and so does a backslash that the shell would otherwise take as an escape (one
// before "$", "`", "\"", "\\", a line break, or at the end of the text, where the closing
// quote follows). Any other backslash stays as it is, so C:\Restore is unchanged.
std::string ShellDoubleQuoteEscape(const std::string& text);

// Whether `text`, standing in a one-liner sent as text, reaches PowerShell unchanged: it holds
// none of % & ^ | < > " (read by cmd) and no tab or run of blanks (lost by powershell.exe).
bool PassesCmdLineUnchanged(const std::string& text);

// The argument of powershell.exe -EncodedCommand for `script`: base64 of its UTF-16LE text.
// False when `script` is not valid UTF-8.
bool EncodePowerShellCommand(const std::string& script, std::string& encoded);

// Why `path` cannot name a file on a Windows guest, or "" when it can. Refused: text that is not
// UTF-8, control characters, the characters Windows forbids in names (< > " | ? *), a ":" other
// than the drive's, and a name ending in a blank or a dot (Windows would silently drop those,
// so the file would land under another name).
std::string WindowsPathProblem(const std::string& path);

// Whether PowerShell's -Path would read `path` as a wildcard pattern ([ ] and the escape `);
// such a path is handed over with -LiteralPath.
bool NeedsLiteralPath(const std::string& path);

}  // namespace WinQuote
