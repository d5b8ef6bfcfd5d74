#include "host/PlanRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/HumanUnits.h"
#include "host/JobSummary.h"
#include "host/PlanLock.h"
#include "host/TerminalLines.h"
#include "platform/PrivateFolderChain.h"
#include "platform/ProxyInputFile.h"
#include "platform/ProxyOutputFile.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr std::chrono::milliseconds kPollInterval(200);
// A job that does not end this long after it was asked to stop at once is killed.
constexpr std::chrono::seconds kKillAfter(60);
// The longest wait between two tries of a job.
constexpr double kMaxRetryDelaySeconds = 300;
// A job file is small; reading more than this to find its password variables is a mistake.
constexpr std::streamsize kMaxJobFileBytes = 1024 * 1024;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The variables that a job file names as password sources. The file is read as the job will read
// it (no link followed, no FIFO waited on, its author checked); one the job would refuse names none.
std::set<std::string> PasswordVariablesOf(const std::string& jobFile) {
  std::set<std::string> names;
  std::string text;
  std::string reason;
  if (!ProxyInputFile::ReadText(jobFile, ProxyInputFile::Role::Config, kMaxJobFileBytes, text, reason)) return names;
  const json document = json::parse(text, nullptr, false);
  if (!document.is_object()) return names;
  for (const char* credentials : {"serverCredentials", "guestCredentials"}) {
    if (!document.contains(credentials) || !document[credentials].is_object()) continue;
    const json& object = document[credentials];
    if (object.contains("passwordEnv") && object["passwordEnv"].is_string()) {
      names.insert(object["passwordEnv"].get<std::string>());
    }
  }
  return names;
}

bool Allowed(const std::string& name, const std::set<std::string>& extra) {
  static const std::set<std::string> kNames = {"PATH",    "HOME",   "LANG",    "LANGUAGE",        "TZ",
                                               "TMPDIR",  "USER",   "LOGNAME", "XDG_RUNTIME_DIR", "LD_LIBRARY_PATH"};
  for (const char* prefix : {"LC_", "ZQ_", "LIBGUESTFS_"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return kNames.count(name) != 0 || extra.count(name) != 0;
}

// The folder of a plan's job files: made private, or refused when it is not ours alone.
bool PrepareJobsFolder(const std::string& folder, std::string& error) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make " + folder + ": " + strerror(errno);
    return false;
  }
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = folder + " is not a folder";
    return false;
  }
  const std::string refusal = PrivateFolderChain::Refusal(info, false);
  if (!refusal.empty()) {
    error = folder + ": " + refusal;
    return false;
  }
  return true;
}

// Starts `program` as a job: standard input from `input`, output and errors to `output`, in a
// process group of its own (the plan, not the terminal, tells each job when to stop), with the
// signals a job handles at their defaults and none blocked. The job holds the plan's lock `lockFd`
// (deliberately the one descriptor of the plan it inherits) and gets SIGHUP when the plan dies, so
// it stops at once instead of running on unseen; the plan's death is tied to this thread, the
// one that runs the plan. Between fork and exec only async-signal-safe calls. Returns 0, or the
// errno of the failure (a failed exec comes back through a close-on-exec pipe).
int SpawnJob(const char* program, char* const argv[], char* const envp[], int input, int output, int lockFd,
             pid_t& pid) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  const pid_t plan = ::getpid();
  pid = ::fork();
  if (pid < 0) {
    const int forkError = errno;
    ::close(report[0]);
    ::close(report[1]);
    return forkError;
  }
  if (pid == 0) {
    int failure = 0;
    // The plan may have died before the request took effect; then the job never starts.
    if (::prctl(PR_SET_PDEATHSIG, SIGHUP) != 0) failure = errno;
    if (failure == 0 && ::getppid() != plan) failure = ESRCH;
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (failure == 0 && (::setpgid(0, 0) != 0 || ::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
                         ::dup2(output, STDERR_FILENO) < 0 || ::fcntl(lockFd, F_SETFD, 0) != 0)) {
      failure = errno;
    }
    if (failure == 0) {
      for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::fcntl(fd, F_SETFD, 0);
      ::execve(program, argv, envp);
      failure = errno;
    }
    const ssize_t ignored = ::write(report[1], &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int failure = 0;
  ssize_t got = 0;
  do {
    got = ::read(report[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    ::waitpid(pid, nullptr, 0);
    pid = -1;
    return failure;
  }
  return 0;
}

std::string Numbered(size_t index) {
  char text[16];
  snprintf(text, sizeof text, "%04zu", index + 1);
  return text;
}

struct RunningJob {
  size_t index = 0;
  pid_t pid = -1;
  Clock::time_point started;
  int stopsSent = 0;
  Clock::time_point stoppedAt;
  bool timedOut = false;
};

class PlanRun {
 public:
  PlanRun(const RestorePlan& plan, const PlanOptions& options, TerminalLines& terminal, PlanReport& report)
      : m_plan(plan), m_options(options), m_terminal(terminal), m_report(report) {}

  bool Run(std::string& error);

 private:
  bool Start(size_t index, std::string& error);
  void Finished(const RunningJob& running, int status);
  void Forward(int stops);
  void ShowStatus(size_t done);
  int Stops() const { return m_options.stopRequests != nullptr ? m_options.stopRequests->load() : 0; }

  const RestorePlan& m_plan;
  const PlanOptions& m_options;
  TerminalLines& m_terminal;
  PlanReport& m_report;
  PlanLock m_lock;
  PlanState m_state;
  std::vector<RunningJob> m_running;
  std::deque<size_t> m_ready;
  std::vector<std::pair<Clock::time_point, size_t>> m_waiting;  // retries and when they may start
};

bool PlanRun::Start(size_t index, std::string& error) {
  PlanJobReport& report = m_report.jobs[index];
  const PlanJob& job = *report.job;
  ::unlink(report.summaryFile.c_str());
  std::vector<std::string> words = {m_options.zqrestore};
  if (!m_options.settingsFile.empty()) words.insert(words.end(), {"--settings", m_options.settingsFile});
  words.insert(words.end(), {"restore", "--progress", "never", "--summary-json", report.summaryFile});
  if (m_options.trustPlanAuthor) words.push_back("--trust-plan-author");
  const std::vector<std::string> arguments = RestoreArguments(job, m_options.dryRun);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  std::vector<std::string> environment = JobEnvironment(job, environ);
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(&variable[0]);
  envp.push_back(nullptr);

  // The input first: with lower descriptors, no dup2 in the child overwrites one not yet copied.
  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (input < 0) {
    error = std::string("cannot open /dev/null: ") + strerror(errno);
    return false;
  }
  const int output = ProxyOutputFile::OpenForAppend(report.outputFile, error);
  if (output < 0) {
    ::close(input);
    return false;
  }
  RunningJob running;
  running.index = index;
  running.started = Clock::now();
  const int spawned =
      SpawnJob(words[0].c_str(), argv.data(), envp.data(), input, output, m_lock.Descriptor(), running.pid);
  ::close(input);
  ::close(output);
  for (std::string& variable : environment) std::fill(variable.begin(), variable.end(), '\0');
  if (spawned != 0) {
    error = "cannot start " + words[0] + ": " + strerror(spawned);
    return false;
  }
  ++report.result.attempts;
  report.started = true;
  m_running.push_back(running);
  m_terminal.WriteLine("started    " + PrintableText(job.name) +
                       (report.result.attempts > 1 ? " (try " + std::to_string(report.result.attempts) + ")" : ""));
  return true;
}

void PlanRun::Finished(const RunningJob& running, int status) {
  PlanJobReport& report = m_report.jobs[running.index];
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream in(report.summaryFile);
  json summary = in ? json::parse(in, nullptr, false) : json();
  if (summary.is_discarded()) summary = json();
  const int attempts = report.result.attempts;
  report.result = ClassifyJobEnd(exitStatus, summary);
  report.result.attempts = attempts;
  report.result.seconds = SecondsSince(running.started);
  if (running.timedOut) {
    report.result.outcome = PlanJobOutcome::Failed;
    report.result.retryable = true;
    report.result.cause = "timed out: still running after " + FormatDuration(m_options.jobTimeoutSeconds);
  }
  if (m_options.dryRun && exitStatus == kExitEntriesFailed) report.result.cause = "entries would be refused";
  const PlanJob& job = *report.job;
  std::string line = std::string(PlanOutcomeName(report.result.outcome));
  line.resize(11, ' ');
  line += PrintableText(job.name);
  if (report.result.outcome == PlanJobOutcome::Completed) {
    line += ": " + std::to_string(report.result.restored) + " restored, " + std::to_string(report.result.kept) +
            " kept (" + FormatDuration(report.result.seconds) + ")";
  } else {
    line += ": " + PrintableText(report.result.cause);
  }
  const bool retry = report.result.outcome == PlanJobOutcome::Failed && report.result.retryable && Stops() == 0 &&
                     static_cast<unsigned>(attempts) <= m_options.retries;
  if (retry) {
    const double delay = std::min(kMaxRetryDelaySeconds, m_options.retryDelaySeconds * std::pow(2.0, attempts - 1));
    line += "; trying again in " + FormatDuration(delay);
    m_waiting.emplace_back(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay)),
                           running.index);
  }
  m_terminal.WriteLine(line);
  if (!m_options.dryRun && !retry) {
    m_state.Record(job.key, report.result);
    std::string error;
    if (!m_state.Save(m_report.stateFile, error)) m_terminal.WriteLine("zqrestore: " + PrintableText(error));
  }
}

// Hands each stop request on to every running job, once per request.
void PlanRun::Forward(int stops) {
  for (RunningJob& running : m_running) {
    while (running.stopsSent < std::min(stops, 2)) {
      ::kill(-running.pid, SIGINT);
      if (++running.stopsSent == 2) running.stoppedAt = Clock::now();
    }
  }
}

void PlanRun::ShowStatus(size_t done) {
  std::string status = "  plan: " + std::to_string(done) + "/" + std::to_string(m_report.jobs.size()) + " done";
  size_t failed = 0;
  for (const PlanJobReport& job : m_report.jobs) failed += job.started && job.result.outcome == PlanJobOutcome::Failed;
  if (failed > 0) status += " (" + std::to_string(failed) + " failed)";
  // One line per running job under the plan's line.
  for (const RunningJob& running : m_running) {
    status += "\n    " + PrintableText(m_report.jobs[running.index].job->name) + "  running " +
              FormatDuration(std::floor(SecondsSince(running.started)));
  }
  m_terminal.SetStatus(status);
}

bool PlanRun::Run(std::string& error) {
  const auto started = Clock::now();
  // Before anything of the plan's is read or written: another run may be using all of it.
  if (!m_lock.Acquire(m_report.stateFile + ".lock", m_plan.path, error)) return false;
  if (!m_options.restart && !m_options.dryRun && !m_state.Load(m_report.stateFile, error)) return false;
  if (!PrepareJobsFolder(m_report.jobsFolder, error)) return false;
  m_report.jobs.clear();
  for (size_t i = 0; i < m_plan.jobs.size(); ++i) {
    PlanJobReport report;
    report.job = &m_plan.jobs[i];
    report.summaryFile = m_report.jobsFolder + "/" + Numbered(i) + ".summary.json";
    report.outputFile = m_report.jobsFolder + "/" + Numbered(i) + ".out";
    if (!m_options.dryRun && m_state.Completed(report.job->key)) {
      report.skipped = true;
      report.result = m_state.Results().at(report.job->key);
    } else {
      m_ready.push_back(i);
    }
    m_report.jobs.push_back(report);
  }
  size_t done = m_plan.jobs.size() - m_ready.size();
  const unsigned parallel = std::max(1u, m_options.parallel);
  while (!m_ready.empty() || !m_waiting.empty() || !m_running.empty()) {
    const int stops = Stops();
    if (stops > 0) {
      Forward(stops);
      m_ready.clear();
      m_waiting.clear();
    }
    for (auto waiting = m_waiting.begin(); waiting != m_waiting.end();) {
      if (waiting->first > Clock::now()) {
        ++waiting;
        continue;
      }
      m_ready.push_back(waiting->second);
      waiting = m_waiting.erase(waiting);
    }
    while (stops == 0 && m_running.size() < parallel && !m_ready.empty()) {
      const size_t index = m_ready.front();
      m_ready.pop_front();
      std::string startError;
      if (!Start(index, startError)) {
        PlanJobReport& report = m_report.jobs[index];
        report.started = true;
        report.result.outcome = PlanJobOutcome::Failed;
        report.result.cause = startError;
        m_terminal.WriteLine("failed     " + PrintableText(report.job->name) + ": " + PrintableText(startError));
        ++done;
      }
    }
    for (auto running = m_running.begin(); running != m_running.end();) {
      int status = 0;
      const pid_t ended = ::waitpid(running->pid, &status, WNOHANG);
      if (ended == running->pid) {
        const RunningJob finished = *running;
        running = m_running.erase(running);
        Finished(finished, status);
        const bool waitsForRetry = std::any_of(m_waiting.begin(), m_waiting.end(),
                                               [&](const auto& waiting) { return waiting.second == finished.index; });
        if (!waitsForRetry) ++done;
        continue;
      }
      // Every job has a time limit: past it the job is stopped as on Ctrl-C, then at once, and
      // killed when even that does not end it.
      if (!running->timedOut && SecondsSince(running->started) > m_options.jobTimeoutSeconds) {
        running->timedOut = true;
        ::kill(-running->pid, SIGINT);
        ::kill(-running->pid, SIGINT);
        running->stopsSent = 2;
        running->stoppedAt = Clock::now();
      }
      if (running->stopsSent == 2 && Clock::now() - running->stoppedAt > kKillAfter) ::kill(-running->pid, SIGKILL);
      ++running;
    }
    ShowStatus(done);
    if (!m_running.empty() || !m_waiting.empty()) std::this_thread::sleep_for(kPollInterval);
  }
  m_terminal.ClearStatus();
  m_report.interrupted = Stops() > 0;
  // Jobs the stop kept from starting are interrupted too, and the state says so.
  for (PlanJobReport& report : m_report.jobs) {
    if (report.skipped || report.started) continue;
    report.result.outcome = PlanJobOutcome::Interrupted;
    report.result.cause = "not started: the plan was stopped";
    if (!m_options.dryRun) m_state.Record(report.job->key, report.result);
  }
  if (!m_options.dryRun && m_report.interrupted && !m_state.Save(m_report.stateFile, error)) {
    m_terminal.WriteLine("zqrestore: " + PrintableText(error));
  }
  bool allCompleted = true;
  for (const PlanJobReport& report : m_report.jobs) allCompleted &= report.result.outcome == PlanJobOutcome::Completed;
  m_report.exitStatus = m_report.interrupted ? 128 + (m_report.stopSignal > 0 ? m_report.stopSignal : SIGINT)
                        : allCompleted       ? kExitSuccess
                                             : kExitEntriesFailed;
  m_report.seconds = SecondsSince(started);
  return true;
}

}  // namespace

std::string PlanStateFile(const RestorePlan& plan, const PlanOptions& options) {
  const std::string base = !options.summaryJson.empty() && options.summaryJson != "-" ? options.summaryJson : plan.path;
  return base + ".state";
}

std::vector<std::string> JobEnvironment(const PlanJob& job, char** environment) {
  std::set<std::string> extra;
  if (!job.passwordEnv.empty()) extra.insert(job.passwordEnv);
  if (!job.jobFile.empty()) extra.merge(PasswordVariablesOf(job.jobFile));
  std::vector<std::string> allowed;
  for (char** variable = environment; variable != nullptr && *variable != nullptr; ++variable) {
    const char* equals = strchr(*variable, '=');
    if (equals == nullptr) continue;
    if (Allowed(std::string(*variable, static_cast<size_t>(equals - *variable)), extra)) allowed.emplace_back(*variable);
  }
  return allowed;
}

bool RunPlan(const RestorePlan& plan, const PlanOptions& options, TerminalLines& terminal, PlanReport& report,
             std::string& error) {
  report = PlanReport();
  report.stateFile = PlanStateFile(plan, options);
  report.jobsFolder = report.stateFile + ".jobs";
  return PlanRun(plan, options, terminal, report).Run(error);
}

std::string RenderPlanText(const RestorePlan& plan, const PlanReport& report) {
  size_t completed = 0;
  size_t failed = 0;
  size_t interrupted = 0;
  for (const PlanJobReport& job : report.jobs) {
    completed += job.result.outcome == PlanJobOutcome::Completed;
    failed += job.result.outcome == PlanJobOutcome::Failed;
    interrupted += job.result.outcome == PlanJobOutcome::Interrupted;
  }
  std::ostringstream out;
  out << "Plan " << PrintableText(plan.path) << ": " << completed << " of " << report.jobs.size() << " jobs completed";
  if (failed > 0) out << ", " << failed << " failed";
  if (interrupted > 0) out << ", " << interrupted << " interrupted";
  out << " (" << FormatDuration(report.seconds) << ")\n";
  for (const PlanJobReport& job : report.jobs) {
    std::string word = job.skipped ? "done" : PlanOutcomeName(job.result.outcome);
    word.resize(12, ' ');
    out << "  " << word << PrintableText(job.job->name);
    if (job.skipped) {
      out << " (completed in an earlier run)";
    } else if (job.result.outcome == PlanJobOutcome::Completed) {
      out << ": " << job.result.restored << " restored, " << job.result.kept << " kept, "
          << FormatDuration(job.result.seconds);
    } else {
      out << ": " << PrintableText(job.result.cause);
    }
    if (job.result.attempts > 1) out << " (" << job.result.attempts << " tries)";
    out << "\n";
  }
  out << "  jobs        " << PrintableText(report.jobsFolder) << " (each job's summary and output)\n";
  out << "  state       " << PrintableText(report.stateFile) << "\n";
  return out.str();
}

nlohmann::json RenderPlanJson(const RestorePlan& plan, const PlanReport& report) {
  json jobs = json::array();
  for (const PlanJobReport& job : report.jobs) {
    jobs.push_back({{"name", job.job->name},
                    {"outcome", PlanOutcomeName(job.result.outcome)},
                    {"skipped", job.skipped},
                    {"cause", job.result.cause},
                    {"retryable", job.result.retryable},
                    {"attempts", job.result.attempts},
                    {"restored", job.result.restored},
                    {"kept", job.result.kept},
                    {"failed", job.result.failed},
                    {"seconds", job.result.seconds},
                    {"exitStatus", job.result.exitStatus},
                    {"summaryFile", job.summaryFile},
                    {"outputFile", job.outputFile}});
  }
  return json{{"plan", plan.path},         {"exitStatus", report.exitStatus}, {"interrupted", report.interrupted},
              {"seconds", report.seconds}, {"stateFile", report.stateFile},   {"jobs", jobs}};
}
