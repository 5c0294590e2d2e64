#include "ui/export/report.h"
#include "ui/list/row_tags.h"

#include "paths/wnet_tree.h"
#include "platform/net/smb_url.h"
#include "platform/os/errors.h"
#include "platform/os/exception.h"
#include "text/text.h"
#include "ui/services/message_box.h"
#include "ui/services/user_prompts.h"

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

bool TReportFile::Open(const std::string &FileName) {
  Buffer.clear();
  const bool opened = File.Open(FileName);
  Err = opened ? 0 : errno;
  return opened;
}

bool TReportFile::Flush() {
  if (!File.IsOpen()) return false;
  if (!File.Write(Buffer.data(), Buffer.size())) {
    Err = errno;
    File.Abandon();
    return false;
  }
  Buffer.clear();
  return true;
}

bool TReportFile::Write(std::string_view Data) {
  if (!File.IsOpen()) return false;
  Buffer.append(Data);
  return Buffer.size() < BufferSize || Flush();
}

bool TReportFile::Close() {
  if (!Flush()) return false;
  if (!File.Commit()) {
    Err = errno;
    return false;
  }
  return true;
}

std::string TReportFile::Error() const { return platform::ErrnoText(Err); }

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
  auto file = std::make_unique<TReportFile>();
  if (!file->Open(*chosen)) {
    ShowErrorMessage("Can not create file " + *chosen + ": " + file->Error() + ".");
    return;
  }
  OutFile = std::move(file);
}

void ReportWriteError(const std::string &FileName, const std::string &Reason) {
  ShowErrorMessage("Can not write to file " + FileName + ": " + Reason + ".");
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
  h += "</TITLE></HEAD>\r\n";
  h += "<BODY><center><font size=\"+1\" color=\"#000000\"><b><a href=\"";
  h += ProductHomePage;
  h += "\">Vantrell Sonquarry</a></b> 2.0 report</font></center><br><br>\r\n";
  return h;
}

std::string HtmlReportRow(std::string_view Path, std::string_view After) {
  // Browsers on Linux open smb:// URLs, not UNC paths; the encoding also keeps "#" and "%" of a
  // name from being read as a fragment or an escape.
  return "<a href=\"" + net::UncToSmbUrl(std::string(Path)) + "\">" +
         HtmlEscape(text::Printable(Path)) + "</a>" +
         (After.empty() ? "" : " " + HtmlEscape(text::Printable(After))) + "<br>\r\n";
}

bool WriteTextReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName,
                     const TRowTags *Tags) {
  std::string line;
  for (int i = 0; i < Tree.Count(); ++i) {
    try {
      // A name's LF or escape stays inside its row, as in the scan log.
      line = text::Printable(RowPath(Tree, i));
      if (Tags && Tags->Has(Tree.TagRef(i)))
        for (int f = 0; f < TagFieldCount; ++f)
          line += "\t" + text::Printable(Tags->Shown(Tree.TagRef(i), TTagField(f)));
      line += "\r\n";
    } catch (const std::exception &) {
      line = ErrorFormingString;
    }
    if (!Out.Write(line)) {
      ReportWriteError(FileName, Out.Error());
      return false;
    }
  }
  if (!Out.Close()) { // the buffer's last bytes are written here
    ReportWriteError(FileName, Out.Error());
    return false;
  }
  return true;
}

bool WriteHtmlReport(TWNetTree &Tree, TReportFile &Out, const std::string &FileName,
                     const std::string &Title, const TRowTags *Tags) {
  if (!Out.Write(HtmlReportHeader(Title))) {
    ReportWriteError(FileName, Out.Error());
    return false;
  }
  std::string piece;
  for (int i = 0; i < Tree.Count(); ++i) {
    try {
      std::string text;
      if (Tags && Tags->Has(Tree.TagRef(i)))
        for (int f = 0; f < TagFieldCount; ++f) {
          const std::string v = Tags->Shown(Tree.TagRef(i), TTagField(f));
          if (!v.empty()) text += (text.empty() ? "" : " | ") + v;
        }
      piece = HtmlReportRow(RowPath(Tree, i), text);
    } catch (const std::exception &) {
      piece = ErrorFormingString;
    }
    if (!Out.Write(piece)) {
      ReportWriteError(FileName, Out.Error());
      return false;
    }
  }
  if (!Out.Write(HtmlReportFooter) || !Out.Close()) {
    ReportWriteError(FileName, Out.Error());
    return false;
  }
  return true;
}

void ExportTextReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog, const TRowTags *Tags) {
  std::unique_ptr<TReportFile> out;
  CreateFile(&SaveDialog, out);
  if (out) WriteTextReport(Tree, *out, SaveDialog.FileName, Tags);
}

void ExportHtmlReport(TWNetTree &Tree, TFileDialogRequest &SaveDialog, const TRowTags *Tags) {
  std::unique_ptr<TReportFile> out;
  CreateFile(&SaveDialog, out);
  if (out) WriteHtmlReport(Tree, *out, SaveDialog.FileName, ApplicationTitle(), Tags);
}

} // namespace sonquarry
