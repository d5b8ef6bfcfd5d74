// Paths inside the guest as zqrestore builds them: the job's destination must be absolute in the
// guest's own form ("/srv/restore" on Unix, "D:\Restore" on Windows), and entries of the source
// tree map below it with the guest's separator.
#pragma once

#include <string>

// True for "X:\..." or "X:/..." (a drive letter and a separator).
bool IsWindowsAbsolute(const std::string& path);

// Why `destination` cannot be the job's destination, or empty when it can. With `unixGuest` only
// the Unix form is accepted; otherwise either form is. Refused: relative paths ("restore"),
// "." and ".." names, and a Windows path on a guest declared Unix.
std::string DestinationProblem(const std::string& destination, bool unixGuest);

// The guest path of the source entry at `relative` ("/"-separated) below `destination`.
std::string GuestChildPath(const std::string& destination, const std::string& relative);
