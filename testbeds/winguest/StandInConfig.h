// Configuration of the Windows guest stand-in, read from the JSON file that the environment
// variable ZQ_WINGUEST_CONFIG names:
//
//   {
//     "root": "/tmp/x/guest",          folder that holds the drives: C:\ is <root>/C (required)
//     "user": "CORP\\alice",           login the server accepts, in the form a Windows OpenSSH
//                                      server takes; the channel's "alice:CORP" reaches it as the
//                                      real tools send it (required)
//     "password": "secret",            password expected in ZQ_PUTTY_PASS (required)
//     "addresses": ["192.0.2.7"],      addresses at which the guest answers (required)
//     "culture": "en-US",              culture of the guest: en-US (default), en-GB, de-DE
//     "osName": "Microsoft Windows Server 2019 Datacenter",   what systeminfo calls the system
//     "timeZone": "Europe/Berlin",     the guest's zone (default: the zone the tool inherits)
//     "volumes": [{"driveLetter": "C", "driveType": "Fixed"}],   default: every one-letter
//                                       folder of the root is a fixed drive
//     "freeBytes": 204800,             room left on every volume for a copy (default: no limit)
//     "journal": "/tmp/x/journal.jsonl",  where each tool run is recorded (optional)
//     "stateFile": "/tmp/x/state.json",   creation times the guest keeps (default: beside the
//                                          configuration file)
//     "sessionLoop": false,            the guest's PowerShell cannot run the session's loop (say, a
//                                      constrained language mode): the stand-in's ssh runs the loop's
//                                      command line like any other (default true: it serves the loop)
//     "engine": "pwsh",                who runs PowerShell scripts: "standin" (default), the home-made
//                                      interpreter that models Windows PowerShell 5.1, or "pwsh", real
//                                      PowerShell 7 (RealPowerShell.h) with the drives as PSDrives of
//                                      their folders and get-volume and systeminfo as small functions;
//                                      cmd stays CmdShell. docs/windows-guests.md lists how pwsh on
//                                      Linux differs from a Windows guest
//     "powerShellStartMs": 250,        what every start of powershell.exe costs, in milliseconds, as
//                                      on a real guest (230-540 ms there); default 0, so that tests
//                                      stay fast; the benchmark sets it
//     "swap": {"moment": "rename",     a guest user who swaps a folder for a junction at one moment:
//              "folder": "D:\\R\\docs",  "upload" (before an upload's bytes are written), "rename"
//              "link": "D:\\Secret"}     (as Move-Item starts) or "renamed" (once it has moved the
//                                      item); the folder is renamed to "<name>.moved" and a junction
//                                      to `link` takes its name. Once: a folder that already is a
//                                      link is left alone; "replaced": once Move-Item moved a file,
//                                      another file (another length, the same write time) takes its
//                                      name. Only the home-made engine runs Move-Item
//   }
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winguest {

constexpr const char* kConfigEnvVar = "ZQ_WINGUEST_CONFIG";

struct VolumeSpec {
  std::string driveLetter;  // empty: a volume without a letter
  std::string driveType;    // Fixed, Removable, CD-ROM, ...
};

// The "swap" key: which folder becomes a junction to `link`, and at which moment.
struct SwapSpec {
  std::string moment;  // "upload", "rename" or "renamed"
  std::string folder;
  std::string link;
};

struct StandInConfig {
  std::string root;
  std::string user;
  std::string password;
  std::vector<std::string> addresses;
  std::string culture = "en-US";
  std::string osName = "Microsoft Windows Server 2019 Datacenter";
  std::string timeZone;
  std::optional<std::vector<VolumeSpec>> volumes;
  std::optional<int64_t> freeBytes;
  std::string journal;
  std::string stateFile;
  int64_t powerShellStartMs = 0;
  bool sessionLoop = true;
  std::string engine = "standin";
  std::optional<SwapSpec> swap;

  // Reads the file; false with a reason when it is missing, malformed or lacks a required key.
  static bool Load(const std::string& path, StandInConfig& config, std::string& error);
  // Load() of the file named by ZQ_WINGUEST_CONFIG.
  static bool LoadFromEnvironment(StandInConfig& config, std::string& error);

  bool Answers(const std::string& address) const;
};

}  // namespace winguest
