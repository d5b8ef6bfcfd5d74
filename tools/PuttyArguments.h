// Command lines of the proxy's SSH tools, in PuTTY's conventions:
//   zqplink.exe [-P PORT] ADDRESS -l USER COMMAND WORDS...
//   zqpscp.exe [-l USER] [-P PORT] LOCAL [USER@]ADDRESS:TARGET
// There is deliberately no way to give a password here: it comes from ZQ_PUTTY_PASS only.
#pragma once

#include <string>
#include <vector>

#include "tools/OpenSshCommand.h"

struct PlinkArguments {
  SshLogin login;
  std::vector<std::string> command;  // the remote command words, joined by blanks in the guest
};

struct PscpArguments {
  SshLogin login;
  std::string localFile;
  std::string remotePath;  // taken literally: no shell reads it
  std::string backupSuffix;  // --backup-suffix: keep a replaced Unix file as PATH+SUFFIX; empty: no backup
  std::string owner;  // --owner UID:GID: the new Unix file's owner before it takes its name; empty: the login's
};

// False with `problem` set (a message for standard error) when the arguments are not usable.
// `--help` yields false with the usage text and `helpRequested` true.
bool ParsePlinkArguments(const std::vector<std::string>& args, PlinkArguments& parsed, std::string& problem,
                         bool& helpRequested);
bool ParsePscpArguments(const std::vector<std::string>& args, PscpArguments& parsed, std::string& problem,
                        bool& helpRequested);

// Splits "[USER@]HOST:PATH" at the first colon outside brackets ("[fe80::1]:PATH"); the user is
// what precedes the last "@" before that colon. False when there is no such colon.
bool SplitRemoteTarget(const std::string& target, SshLogin& login, std::string& path);

// Checks that user, address and port are plain words OpenSSH takes as meant: no leading "-", no
// blank, control character, quote, backslash, "#" or "%"; a non-empty address; a port of digits
// only. An empty user leaves the choice to OpenSSH.
bool CheckLogin(const SshLogin& login, std::string& problem);
