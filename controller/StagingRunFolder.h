// The folder of one run between a job's ids and its staging folder on the proxy:
//   <job results>/ZQ_JobResults/<idA>/<idB>/<idC>/<run>/ForGuestVM
// Two runs of the same job (started twice, or a host that keeps an earlier run's staging folder)
// then never share a staging folder, and a run removes only what it made.
//
// A run holds an exclusive lock (flock) on its folder for as long as its controller lives; the
// lock goes with the process, so a folder whose lock can be taken belongs to a run that is gone,
// and the next run of any job with those ids removes it.
#pragma once

#include <string>
#include <vector>

class StagingRunFolder {
 public:
  StagingRunFolder() = default;
  ~StagingRunFolder();
  StagingRunFolder(const StagingRunFolder&) = delete;
  StagingRunFolder& operator=(const StagingRunFolder&) = delete;

  // A name no other run uses: "run-" with this process's id and 64 random bits in hex.
  static std::string NewName();
  // Whether `name` is a run folder's name (NewName's form); anything else is never touched.
  static bool IsRunName(const std::string& name);

  // Makes the folder `name` (mode 0700) below the open folder `idsFd` and takes its lock. The folder
  // is made under a temporary name and renamed once locked, so that no other run ever sees it
  // unlocked. False with `error` when it cannot be made (also when the name is taken).
  bool Create(int idsFd, const std::string& name, std::string& error);

  // Removes, below the open folder `idsFd`, the run folders whose lock can be taken: those of runs
  // that are no longer alive, with everything in them (links are removed, never followed). Returns
  // their names; what could not be removed is described in `problems`.
  static std::vector<std::string> ClearAbandoned(int idsFd, std::vector<std::string>& problems);

  // Removes the run folder if it is empty (what the host left in it stays, and goes with the next
  // run once this one has ended). Nothing happens unless Create made the folder.
  void RemoveIfEmpty();

  bool Created() const { return m_folderFd >= 0; }
  const std::string& Name() const { return m_name; }

 private:
  int m_idsFd = -1;     // the folder that holds the run folder
  int m_folderFd = -1;  // the run folder itself, locked
  std::string m_name;
};
