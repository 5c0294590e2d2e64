#pragma once
// The HTML and text reports of the whole list, in row order. Paths keep the UNC form; the HTML
// report escapes them and declares UTF-8, so a crafted file name stays text in a browser.

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace sonquarry {

class TWNetTree;
struct TFileDialogRequest;

inline constexpr const char *ProductHomePage = "https://www.vantrell.com/sonquarry/";

// A report being written: a buffered file that remembers whether a write failed.
class TReportFile {
public:
  explicit TReportFile(std::FILE *AFile);
  ~TReportFile();
  TReportFile(const TReportFile &) = delete;
  TReportFile &operator=(const TReportFile &) = delete;
  bool Write(std::string_view Data); // false on any failure
  bool Close();                      // flushes; false when that failed

private:
  std::FILE *File;
};

// The save dialogs of the two reports.
TFileDialogRequest TextReportDialog();
TFileDialogRequest HtmlReportDialog();

// Asks for the file name (kept in SaveDialog->FileName), asks "File %s exists. Rewrite?" before
// replacing a file, and creates the file. OutFile is then the new, empty file, or stays empty
// when the user cancelled, answered No, or the file could not be created ("Can not create file
// %s."). Raises "CreateFile: SaveDialog = nil." / "CreateFile: OutFile <> nil.".
void CreateFile(TFileDialogRequest *SaveDialog, std::unique_ptr<TReportFile> &OutFile);

// "Can not write to file %s."
void ReportWriteError(const std::string &FileName);

std::string HtmlEscape(std::string_view Text);
// The report's pieces before the rows, for the given application title.
std::string HtmlReportHeader(const std::string &Title);
// One row: a link whose target and text are the escaped path, then CR.
std::string HtmlReportRow(std::string_view Path);
inline constexpr std::string_view HtmlReportFooter = "</BODY></HTML>";

// Write every row of Tree into Out; false after ReportWriteError (FileName) when a write failed.
bool WriteTextReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName);
bool WriteHtmlReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName,
                     const std::string &Title);

// The two export commands: dialog, question, file, rows. SaveDialog keeps the last name.
void ExportTextReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog);
void ExportHtmlReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog);

} // namespace sonquarry
