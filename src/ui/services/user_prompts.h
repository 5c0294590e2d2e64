#pragma once
// Every message box, prompt, file dialog and modal dialog of the program goes through one
// replaceable object, so that tests answer them without opening a window or blocking.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QDialog;
class QWidget;

namespace sonquarry {

// Message box styles and button codes with the values of the Windows message box.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_SKIPSKIPALLCANCEL = 0x7; // ours: Skip, Skip all, Cancel
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_TOPMOST = 0x40000;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr int IDSKIP = 5;
inline constexpr int IDSKIPALL = 12;

// A save or open dialog: filters are (description, pattern) pairs such as ("*.m3u", "*.m3u").
struct TFileDialogRequest {
  std::string Title;
  std::string DefaultExt; // without the dot; appended when the typed name has none
  std::vector<std::pair<std::string, std::string>> Filters;
  int FilterIndex = 0;    // the filter chosen first (0-based)
  std::string InitialDir; // empty: the system's default
  std::string FileName;   // the name shown first
  bool OverwritePrompt = false;
};

class TUserPrompts {
public:
  virtual ~TUserPrompts() = default;
  // Text with line breaks as LF; returns IDOK, IDCANCEL, IDYES, IDNO, IDSKIP or IDSKIPALL.
  virtual int MessageBox(const std::string &Caption, const std::string &Text, unsigned Style) = 0;
  // A one-line input prompt; false when cancelled (Value then stays as it was).
  virtual bool InputQuery(const std::string &Caption, const std::string &Prompt,
                          std::string &Value) = 0;
  // The chosen file, nothing when cancelled. FilterIndex receives the filter the user chose.
  virtual std::optional<std::string> SaveFileName(TFileDialogRequest &Request) = 0;
  virtual std::optional<std::string> OpenFileName(TFileDialogRequest &Request) = 0;
  // A folder, empty when cancelled.
  virtual std::string ExistingDirectory(QWidget *Owner, const std::string &Title,
                                        const std::string &Initial) = 0;
  // Runs one of the program's own modal dialogs; returns QDialog::Accepted or Rejected.
  virtual int ExecDialog(QDialog &Dialog) = 0;
};

// The prompts in use: Qt's own dialogs unless a test replaced them.
TUserPrompts &UserPrompts();
// Replaces the prompts and returns the ones replaced; nullptr restores Qt's.
std::unique_ptr<TUserPrompts> SetUserPrompts(std::unique_ptr<TUserPrompts> Prompts);

} // namespace sonquarry
