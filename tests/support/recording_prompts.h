#pragma once
// A stand-in for every message box, prompt and dialog: records what the program asked and answers
// from scripts the test set up, never opening a window.

#include "ui/services/user_prompts.h"

#include <QDialog>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonquarry::testing {

struct TPromptRecord {
  std::string Kind; // "message", "input", "save", "open", "directory", "dialog"
  std::string Caption;
  std::string Text;   // message text, prompt, dialog title or object name
  unsigned Style = 0; // message boxes only
};

class TRecordingPrompts final : public TUserPrompts {
public:
  std::vector<TPromptRecord> Records;
  std::vector<std::string> InputStarts; // the text each input prompt started with
  std::deque<int> MessageAnswers;       // default IDOK (IDNO for yes/no, IDCANCEL for skip boxes)
  std::deque<std::optional<std::string>> Inputs; // nullopt: cancelled; default cancelled
  std::deque<std::optional<std::string>> Files;  // save/open answers; default cancelled
  std::deque<std::string> Directories;           // default cancelled ("")
  // Runs a dialog instead of exec(): may fill its fields; returns the result. Default: rejected.
  std::deque<std::function<int(QDialog &)>> Dialogs;

  int MessageBox(const std::string &Caption, const std::string &Text, unsigned Style) override {
    Records.push_back({"message", Caption, Text, Style});
    if (MessageAnswers.empty())
      return (Style & 0xF) == MB_YESNO               ? IDNO
             : (Style & 0xF) == MB_SKIPSKIPALLCANCEL ? IDCANCEL
                                                     : IDOK;
    return Take(MessageAnswers);
  }
  bool InputQuery(const std::string &Caption, const std::string &Prompt,
                  std::string &Value) override {
    Records.push_back({"input", Caption, Prompt, 0});
    InputStarts.push_back(Value);
    if (Inputs.empty()) return false;
    auto answer = Take(Inputs);
    if (answer) Value = *answer;
    return answer.has_value();
  }
  std::optional<std::string> SaveFileName(TFileDialogRequest &R) override {
    Records.push_back({"save", R.Title, R.FileName, 0});
    LastFileRequest = R;
    return Files.empty() ? std::nullopt : Take(Files);
  }
  std::optional<std::string> OpenFileName(TFileDialogRequest &R) override {
    Records.push_back({"open", R.Title, R.FileName, 0});
    LastFileRequest = R;
    return Files.empty() ? std::nullopt : Take(Files);
  }
  std::string ExistingDirectory(QWidget *, const std::string &Title,
                                const std::string &Initial) override {
    Records.push_back({"directory", Title, Initial, 0});
    return Directories.empty() ? std::string() : Take(Directories);
  }
  int ExecDialog(QDialog &Dialog) override {
    Records.push_back(
        {"dialog", Dialog.windowTitle().toStdString(), Dialog.objectName().toStdString(), 0});
    return Dialogs.empty() ? QDialog::Rejected : Take(Dialogs)(Dialog);
  }

  // The message texts in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const auto &r : Records)
      if (r.Kind == "message") out.push_back(r.Text);
    return out;
  }

  TFileDialogRequest LastFileRequest;

private:
  template <class T> static T Take(std::deque<T> &Q) {
    T v = std::move(Q.front());
    Q.pop_front();
    return v;
  }
};

// Installs a recorder for the life of the object and restores the previous prompts after.
class TPromptsScope {
public:
  TPromptsScope() {
    auto r = std::make_unique<TRecordingPrompts>();
    Recorder_ = r.get();
    Previous_ = SetUserPrompts(std::move(r));
  }
  ~TPromptsScope() { SetUserPrompts(std::move(Previous_)); }
  TPromptsScope(const TPromptsScope &) = delete;
  TPromptsScope &operator=(const TPromptsScope &) = delete;
  TRecordingPrompts &operator*() const { return *Recorder_; }
  TRecordingPrompts *operator->() const { return Recorder_; }

private:
  TRecordingPrompts *Recorder_;
  std::unique_ptr<TUserPrompts> Previous_;
};

} // namespace sonquarry::testing
