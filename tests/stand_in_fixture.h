// A private folder for the stand-in's state file and call log, and the
// stand-in's fault knob, set for one test and cleared after it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

// The stand-in's log of the program's two COM library calls, every argument written out.
inline const std::string kInitialization = "OleInitialize reserved=null\n";
inline const std::string kCreation =
    "CoCreateInstance {60664CAF-AF0D-0005-A300-5C7D25FF22A0} outer=null context=1 "
    "{60664CAF-AF0D-1005-A300-5C7D25FF22A0} *object=null\n";

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "talvenor-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    folder_ = pattern;
    setenv("TALVENOR_STANDIN_STATE", StatePath().c_str(), 1);
    setenv("TALVENOR_STANDIN_LOG", (folder_ / "log").c_str(), 1);
    unsetenv("TALVENOR_STANDIN_FAULT");
  }

  void TearDown() override {
    unsetenv("TALVENOR_STANDIN_STATE");
    unsetenv("TALVENOR_STANDIN_LOG");
    unsetenv("TALVENOR_STANDIN_FAULT");
    std::filesystem::remove_all(folder_);
  }

  static void SetFault(const char* fault) { setenv("TALVENOR_STANDIN_FAULT", fault, 1); }

  std::string StatePath() const { return (folder_ / "state" / "remote-desktop").string(); }

  void StoreState(const std::string& contents) const {
    std::filesystem::create_directories(folder_ / "state");
    std::ofstream(StatePath(), std::ios::binary) << contents;
  }

  std::string StoredState() const { return Contents(StatePath()); }
  std::string Log() const { return Contents((folder_ / "log").string()); }

  // COM initialisation belongs to a thread; a fresh thread starts without it.
  template <typename Body>
  static void OnFreshThread(Body body) {
    std::thread(body).join();
  }

 private:
  static std::string Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "(missing)";
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  std::filesystem::path folder_;
};
