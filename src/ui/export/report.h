#pragma once
// The HTML and text reports of the whole list, in row order, every line ending in CR LF. Paths
// keep the UNC form; the HTML report links each to its smb:// URL (as the playlists), escapes the
// text and declares UTF-8, so a crafted file name stays text in a browser.

#include "platform/files/atomic_file.h"

#include <memory>
#include <string>
#include <string_view>

namespace sonquarry {

class TWNetTree;
class TRowTags;
struct TFileDialogRequest;

inline constexpr const char *ProductHomePage = "https://sonquarry.example.org/";

// A report or playlist being written: buffered into a temporary file that Close puts in place of
// the old one. Until then, and whenever a step failed, the old file stays as it was.
class TReportFile {
public:
  bool Open(const std::string &FileName); // false when the file cannot be created
  bool Write(std::string_view Data);      // false on any failure
  bool Close();                           // flushes and replaces the file; false when that failed
  // Why the last step failed, in words.
  std::string Error() const;

private:
  bool Flush();
  files::TAtomicFile File;
  std::string Buffer;
  int Err = 0;
};

// The save dialogs of the two reports.
TFileDialogRequest TextReportDialog();
TFileDialogRequest HtmlReportDialog();

// Asks for the file name (kept in SaveDialog->FileName), asks "File %s exists. Rewrite?" before
// replacing a file, and creates the file. OutFile is then the new, empty file, or stays empty
// when the user cancelled, answered No, or the file could not be created ("Can not create file
// %s: reason."). Raises "CreateFile: SaveDialog = nil." / "CreateFile: OutFile <> nil.".
void CreateFile(TFileDialogRequest *SaveDialog, std::unique_ptr<TReportFile> &OutFile);

// "Can not write to file %s: reason."
void ReportWriteError(const std::string &FileName, const std::string &Reason);

std::string HtmlEscape(std::string_view Text);
// The report's pieces before the rows, for the given application title.
std::string HtmlReportHeader(const std::string &Title);
// One row: a link to the path's smb:// URL whose text is the escaped path, then the escaped After
// (the row's tags), a line break and CR LF.
std::string HtmlReportRow(std::string_view Path, std::string_view After = {});
inline constexpr std::string_view HtmlReportFooter = "</BODY></HTML>\r\n";

// Write every row of Tree into Out; false after ReportWriteError (FileName) when a write failed.
// With Tags, a row whose tags are known also gets them: tab-separated after the path (text),
// after the link (HTML).
bool WriteTextReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName,
                     const TRowTags *Tags = nullptr);
bool WriteHtmlReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName,
                     const std::string &Title, const TRowTags *Tags = nullptr);

// The two export commands: dialog, question, file, rows. SaveDialog keeps the last name.
void ExportTextReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog,
                      const TRowTags *Tags = nullptr);
void ExportHtmlReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog,
                      const TRowTags *Tags = nullptr);

} // namespace sonquarry
