// A whole job-options run against the fake VM-information component: a temporary folder with the
// application configuration and the component's behaviour, settings that name them, the host's
// records and clients, and the restore options built from their readable JSON form.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "controller/VSAgentlessRestoreToVM.h"
#include "controller/VSAgentlessRestoreToVMOrigins.h"
#include "platform/RestoreOption.h"
#include "support/TestSupport.h"

namespace jobopts {

using namespace VSAgentlessRestoreToVMOrigins;

// Distinctive passwords: none of them may appear in a log line or a job argument.
constexpr const char* kRequestServerPassword = "Server-Secret-4409";
constexpr const char* kGuestPassword = "Guest-Secret-9917";
constexpr const char* kAppStoredPassword = "Stored-Secret-7731";
constexpr const char* kInstanceStoredPassword = "Inst8-Secret-5521";

// The application whose data is restored (1001) has the parent 1000, which belongs to instance 7.
// Instance 8 is the instance of client 42; instance 9 has no stored credentials.
constexpr unsigned long kAppId = 1001;
constexpr int kAppInstanceId = 7;
constexpr int kClientInstanceId = 8;
constexpr int kClientId = 42;
constexpr int kInstanceWithoutCredentials = 9;
constexpr unsigned long long kJobId = 777;

// The controller with its state open to the tests.
class TestController : public CVSAgentlessRestoreToVM {
 public:
  IVMInfo* vmInfo() const { return m_pVMInfo; }
  IGuestAPI* guestAPI() const { return m_pGuestAPI.get(); }
  const GuestCtx& guestCtx() const { return m_guestCtx; }
  const CMediaSpeedCounter& speedCounter() const { return m_speedCounter; }
  bool active() const { return m_restoreToVMActive; }
  bool restoreACLs() const { return m_restoreACLs; }
};

struct ErrorLine {
  std::string origin;
  std::string text;
  bool operator==(const ErrorLine& other) const { return origin == other.origin && text == other.text; }
};
void PrintTo(const ErrorLine& line, std::ostream* out);

class JobOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The instance type the application configuration and the component report.
  void SetInstanceType(int type);
  // Writes the configuration and the component's behaviour, builds the options from m_request,
  // hands the records to the controller and runs GetJobOptions.
  bool RunGetJobOptions();
  // Writes the configuration files only (for calling PrepareVMInfoObject directly).
  void WriteConfiguration();

  // Calls the component received, in order, optionally only those named `call`.
  std::vector<nlohmann::json> ComponentCalls(const std::string& call = "") const;
  // Error lines written by the controller's own operations.
  std::vector<ErrorLine> ControllerErrorLines() const;
  std::vector<PendingCause> PendingCauses() const { return m_job.pendingCauses(); }
  bool Logged(const std::string& origin, const std::string& text) const;

  zqtest::TempDir m_dir;
  zqtest::ScopedSettings m_settings;
  mutable zqtest::ScopedLogCapture m_logs;  // sink() is not const
  std::unique_ptr<zqtest::ScopedEnv> m_behaviourEnv;

  nlohmann::json m_appConfig;  // the application configuration (docs/app-config.md)
  nlohmann::json m_behaviour;  // the fake component's behaviour
  nlohmann::json m_request;    // the restore options in their readable form

  FSRInitData m_initData;
  FSRInitDataVer2 m_initDataVer2;
  FSRSetParams m_setParams;
  ZQRstJobClient m_job;
  ZQJobCtrlClient m_jobCtrl{kJobId};
  TMMsg::RestoreOption m_options;
  TestController m_controller;
};

}  // namespace jobopts
