#pragma once
// The desktop's notification service as a test sees it: a session bus of the test's own with
// tests/support/fake_notifications.py on it, which keeps every Notify call it receives.

#include "support/build_paths.h"
#include "support/session_bus.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sonquarry::testing {

struct TNotice {
  std::string App, Summary, Body;
};

class TFakeNotifications {
public:
  explicit TFakeNotifications(const std::filesystem::path &Dir)
      : Bus_(Dir), Out_((Dir / "notices.jsonl").string()) {
    // Debian's python, which has python3-dbus, whatever python3 comes first on the PATH.
    Service_ = SpawnBackground(
        {"/usr/bin/python3", SourceDir() + "/tests/support/fake_notifications.py", Out_},
        Bus_.Env());
    Ready_ = WaitForFile(Out_ + ".ready", 20000);
  }
  ~TFakeNotifications() { EndBackground(Service_); }
  TFakeNotifications(const TFakeNotifications &) = delete;
  TFakeNotifications &operator=(const TFakeNotifications &) = delete;

  // The service owns its name on the bus.
  bool Ready() const { return Ready_; }
  const std::string &Address() const { return Bus_.Address(); }
  // The Notify calls received so far, in order.
  std::vector<TNotice> Notices() const {
    std::vector<TNotice> Out;
    std::ifstream In(Out_, std::ios::binary);
    const std::string All((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    // Whole lines only: the service may be writing the next one.
    for (size_t At = 0, End; (End = All.find('\n', At)) != std::string::npos; At = End + 1) {
      const QJsonObject O =
          QJsonDocument::fromJson(QByteArray::fromStdString(All.substr(At, End - At))).object();
      Out.push_back({O["app"].toString().toStdString(), O["summary"].toString().toStdString(),
                     O["body"].toString().toStdString()});
    }
    return Out;
  }

private:
  TSessionBus Bus_;
  std::string Out_;
  pid_t Service_ = -1;
  bool Ready_ = false;
};

} // namespace sonquarry::testing
