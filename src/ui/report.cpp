#include "ui/report.h"

#include "paths/wnet_tree.h"
#include "platform/exception.h"
#include "platform/gui/message_box.h"
#include "platform/gui/user_prompts.h"

#include <sys/stat.h>

namespace sonquarry {
namespace {

constexpr size_t BufferSize = 1 << 20;
const char *const ErrorFormingString = "Error forming string.";

std::string RowPath(TWNetTree &Tree, int Index) {
  return Tree.GetDirectory(Index) + std::string(Tree.File(Index).Name());
}

bool Exists(const std::string &Name) {
  struct stat st;
  return ::stat(Name.c_str(), &st) == 0;
}

} // namespace

TReportFile::TReportFile(std::FILE *AFile) : File(AFile) {
  std::setvbuf(File, nullptr, _IOFBF, BufferSize);
}

TReportFile::~TReportFile() { Close(); }

bool TReportFile::Write(std::string_view Data) {
  return File && std::fwrite(Data.data(), 1, Data.size(), File) == Data.size();
}

bool TReportFile::Close() {
  if (!File) return true;
  const bool ok = std::fclose(File) == 0;
  File = nullptr;
  return ok;
}

TFileDialogRequest TextReportDialog() {
  TFileDialogRequest r;
  r.DefaultExt = "txt";
  r.Filters = {{"*.txt", "*.txt"}, {"*.*", "*.*"}};
  return r;
}

TFileDialogRequest HtmlReportDialog() {
  TFileDialogRequest r;
  r.DefaultExt = "html";
  r.Filters = {{"*.html", "*.html"}, {"*.*", "*.*"}};
  return r;
}

void CreateFile(TFileDialogRequest *SaveDialog, std::unique_ptr<TReportFile> &OutFile) {
  if (!SaveDialog) throw Exception("CreateFile: SaveDialog = nil.");
  if (OutFile) throw Exception("CreateFile: OutFile <> nil.");
  SaveDialog->OverwritePrompt = false; // the question below is the only one
  const auto chosen = UserPrompts().SaveFileName(*SaveDialog);
  if (!chosen) return;
  SaveDialog->FileName = *chosen;
  if (Exists(*chosen) && ShowMessageBox(FormatMessage("File %s exists. Rewrite?", *chosen),
                                        MB_YESNO | MB_ICONQUESTION) != IDYES)
    return;
  std::FILE *f = std::fopen(chosen->c_str(), "wb");
  if (!f) {
    ShowErrorMessage(FormatMessage("Can not create file %s.", *chosen));
    return;
  }
  OutFile = std::make_unique<TReportFile>(f);
}

void ReportWriteError(const std::string &FileName) {
  ShowErrorMessage(FormatMessage("Can not write to file %s.", FileName));
}

std::string HtmlEscape(std::string_view Text) {
  std::string out;
  out.reserve(Text.size() + 16);
  for (const char c : Text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

std::string HtmlReportHeader(const std::string &Title) {
  std::string h = "<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
                  "charset=utf-8\"><TITLE>";
  h += HtmlEscape(Title + " report");
  h += "</TITLE></HEAD>\n\r";
  h += "<BODY><center><font size=\"+1\" color=\"#000000\"><b><a href=\"";
  h += ProductHomePage;
  h += "\">Vantrell Sonquarry</a></b> 2.0 report</font></center><br><br>\n\r";
  return h;
}

std::string HtmlReportRow(std::string_view Path) {
  const std::string p = HtmlEscape(Path);
  return "<a href=\"" + p + "\">" + p + "</a><br>\r";
}

bool WriteTextReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName) {
  std::string line;
  for (int i = 0; i < Tree.Count(); ++i) {
    try {
      line = RowPath(Tree, i) + "\r\n";
    } catch (const std::exception &) {
      line = ErrorFormingString;
    }
    if (!Out.Write(line)) {
      ReportWriteError(FileName);
      return false;
    }
  }
  if (!Out.Close()) { // the buffer's last bytes are written here
    ReportWriteError(FileName);
    return false;
  }
  return true;
}

bool WriteHtmlReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName,
                     const std::string &Title) {
  if (!Out.Write(HtmlReportHeader(Title))) {
    ReportWriteError(FileName);
    return false;
  }
  std::string piece;
  for (int i = 0; i < Tree.Count(); ++i) {
    try {
      piece = HtmlReportRow(RowPath(Tree, i));
    } catch (const std::exception &) {
      piece = ErrorFormingString;
    }
    if (!Out.Write(piece)) {
      ReportWriteError(FileName);
      return false;
    }
  }
  if (!Out.Write(HtmlReportFooter) || !Out.Close()) {
    ReportWriteError(FileName);
    return false;
  }
  return true;
}

void ExportTextReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog) {
  std::unique_ptr<TReportFile> out;
  CreateFile(&SaveDialog, out);
  if (out) WriteTextReport(Tree, *out, SaveDialog.FileName);
}

void ExportHtmlReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog) {
  std::unique_ptr<TReportFile> out;
  CreateFile(&SaveDialog, out);
  if (out) WriteHtmlReport(Tree, *out, SaveDialog.FileName, ApplicationTitle());
}

} // namespace sonquarry
