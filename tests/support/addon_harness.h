// Test support: the add-on library loaded into the test program the way the simulator loads it,
// bound to the stand-in simulator, and clients that talk to it over loopback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/addon_loader.h"
#include "zelm_client.h"

namespace velkaro::testing {

// The add-on loaded once per test program.
class AddOnHarness {
 public:
  // The add-on built beside the test program.
  static AddOnHarness& Instance();
  // Instead of the built add-on: a copy of it, with the stand-in SimConnect it binds to, in a
  // folder of its own in the build folder (copied-addons/`name`, `name` e.g. the test
  // program's), where a test writes the add-on's Velkaro.ini. A test program uses one or the
  // other.
  static AddOnHarness& Copy(const std::string& name);

  const StandInApi& sim() const { return *addon_.simulator; }
  // The loaded add-on's file and folder (with a trailing separator).
  const std::string& path() const { return addon_.path; }
  std::string folder() const;
  // Writes Velkaro.ini beside the add-on, which reads it at its next Start; an empty text
  // removes it.
  void WriteSettings(const std::string& ini) const;

  // A new stand-in simulator (the sample aircraft reported at "SimStart"), then DLLStart and
  // "SimStart". With `simconnect_opens` false the add-on's SimConnect_Open fails.
  void Start(bool simconnect_opens = true);
  // DLLStop, if started.
  void Stop();
  bool started() const { return started_; }

  // Simulator frames of 1/30 s each.
  void Frames(int count, double seconds = 1.0 / 30.0);

  // The SimConnect calls recorded since the last Reset/ClearCalls, all or of one function.
  std::vector<StandInCall> Calls(std::string_view function = "") const;

 private:
  explicit AddOnHarness(const std::string& path);
  standin::AddOn addon_;
  bool started_ = false;
};

// Connects to the add-on on 127.0.0.1:5193, retrying while its server is starting. Replies are
// awaited at most `timeout_ms`, so no test can hang on a silent add-on.
std::unique_ptr<zelm::Connection> ConnectToAddOn(int timeout_ms = 5000);

// Runs a program built beside the tests (e.g. "zelm") with arguments, and returns its exit
// status. Its output goes to `output` when given.
int RunProgram(const std::string& name, const std::string& arguments,
               std::string* output = nullptr);

// Polls `condition` until it holds or `limit` passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// A started add-on, stopped again after each test.
class AddOnTest : public ::testing::Test {
 protected:
  void SetUp() override { addon.Start(); }
  void TearDown() override { addon.Stop(); }
  AddOnHarness& addon = AddOnHarness::Instance();
};

}  // namespace velkaro::testing
