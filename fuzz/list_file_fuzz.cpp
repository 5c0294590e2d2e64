// LoadListFile on arbitrary bytes. A load that succeeds must save back to the bytes it read when
// every record made a row with its directory written as the tree writes it; in every other
// successful case (doubled backslashes, repeated records, ...) the saved form must load and save
// to itself.

#include "paths/wnet_tree.h"
#include "text/utf8_text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace sonquarry;
namespace fs = std::filesystem;

namespace {

const fs::path &WorkDir() {
  static const fs::path dir = [] {
    // tmpfs when there is one: the saves flush to disk, which is no cost there.
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path d = base / ("list_file_fuzz." + std::to_string(getpid()));
    fs::create_directories(d);
    std::atexit([] { fs::remove_all(WorkDir()); });
    return d;
  }();
  return dir;
}

std::string ReadAll(const fs::path &File) {
  std::ifstream in(File, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Check(bool Ok, const char *What) {
  if (Ok) return;
  std::fprintf(stderr, "list_file_fuzz: %s\n", What);
  std::abort();
}

// The lines as the reader takes them: after a UTF-8 BOM, CR LF lines when the file holds a CR
// LF, else LF lines; the last line of an LF file may lack its line end, that of a CR LF file was
// cut (Cut). Plain is set when the file is in the form a save writes (no BOM, CR LF, a line end
// at the end).
std::vector<std::string_view> ReaderLines(std::string_view Data, bool &Plain, bool &Cut) {
  Plain = true;
  Cut = false;
  if (Data.substr(0, 3) == "\xEF\xBB\xBF") {
    Data.remove_prefix(3);
    Plain = false;
  }
  const bool crlf = Data.find("\r\n") != std::string_view::npos;
  const std::string_view eol = crlf ? "\r\n" : "\n";
  if (!crlf && !Data.empty()) Plain = false;
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t at; (at = Data.find(eol, start)) != std::string_view::npos; start = at + eol.size())
    lines.push_back(Data.substr(start, at - start));
  std::string_view rest = Data.substr(start);
  if (!rest.empty()) {
    Plain = false;
    Cut = crlf;
    lines.push_back(rest);
  }
  return lines;
}

bool IsWrittenForm(std::string_view Dir) {
  std::vector<std::string> parts;
  try {
    SplitNetPath(Dir, parts);
  } catch (...) {
    return false;
  }
  std::string form = "\\\\";
  for (const auto &p : parts) form += p + "\\";
  return form == Dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string input(reinterpret_cast<const char *>(Data), Size);
  const fs::path in = WorkDir() / "in.lst", out = WorkDir() / "out.lst";
  std::ofstream(in, std::ios::binary | std::ios::trunc) << input;

  TWNetTree tree;
  tree.SetLoading(true);
  const int code = LoadListFile(in.string(), tree);
  tree.SetLoading(false);
  Check(code == 0 || code == 2 || code == 3, "unexpected load result");
  if (code != 0) return 0;

  Check(SaveListFile(out.string(), tree) == 0, "save failed");
  const std::string saved = ReadAll(out);

  bool plain, cut;
  const auto lines = ReaderLines(input, plain, cut);
  Check(lines.size() % 3 == 0, "a load of a partial record succeeded");
  Check(!cut, "a CR LF list cut in its last line loaded");
  bool exact = plain && tree.Count() == static_cast<int>(lines.size() / 3);
  for (size_t r = 2; exact && r < lines.size(); r += 3) exact = IsWrittenForm(lines[r]);
  for (size_t r = 0; exact && r < lines.size(); ++r) exact = text::IsValidUtf8(lines[r]);
  if (exact) Check(saved == input, "the save differs from the bytes loaded");

  TWNetTree again;
  again.SetLoading(true);
  Check(LoadListFile(out.string(), again) == 0, "the saved list does not load");
  Check(again.Count() == tree.Count(), "the saved list loads another row count");
  Check(SaveListFile(out.string(), again) == 0, "second save failed");
  Check(ReadAll(out) == saved, "the saved form is not a fixed point");

  // The other operations must cope with whatever the file made of the tree.
  if (tree.Count() > 0) {
    tree.Sort(Size % 3, Size % 2 == 0);
    tree.ResetMarks();
    tree.FinishMarks();
    Check(tree.CountByState(nsInaccessible) + tree.CountByState(nsUnreached) == tree.Count(),
          "marks after an empty scan");
    while (tree.Count() > 0) tree.RemoveFile(tree.Count() / 2);
    Check(tree.Root().Children().Count() == 0, "nodes left after removing every row");
  }
  return 0;
}
