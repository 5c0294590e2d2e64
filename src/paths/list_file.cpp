// The list file: three lines per row (file name, domain, directory).
//
// A save writes CR LF line ends. Only CR LF ends a line then, so a lone CR or LF inside a name is
// kept and read back as it was. The one sequence a text cannot hold is CR LF itself: a save
// writes a run of CRs that stands right before an LF as nothing, so the LF stays and the file
// stays aligned. A file without a single CR LF (an edited or converted list) ends its lines with
// LF.

#include "paths/wnet_tree.h"
#include "platform/files/atomic_file.h"
#include "platform/os/exception.h"
#include "text/utf8_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace sonquarry {

namespace {

constexpr size_t IoBlock = size_t{1} << 20;
constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

void AppendLine(std::string &Out, std::string_view Text) {
  if (Text.find('\r') == std::string_view::npos) {
    Out.append(Text);
  } else {
    for (size_t i = 0; i < Text.size();) {
      if (Text[i] != '\r') {
        Out.push_back(Text[i++]);
        continue;
      }
      size_t run = i;
      while (run < Text.size() && Text[run] == '\r') ++run;
      if (run == Text.size() || Text[run] != '\n') Out.append(Text.substr(i, run - i));
      i = run;
    }
  }
  Out.append("\r\n", 2);
}

struct TFileCloser {
  void operator()(std::FILE *F) const { std::fclose(F); }
};

// Whether the file holds a CR LF anywhere; reads it from where it stands to its end.
bool HasCrLf(std::FILE *File, bool &Failed) {
  std::vector<char> buf(IoBlock);
  char last = 0;
  for (;;) {
    const size_t n = std::fread(buf.data(), 1, buf.size(), File);
    if (n == 0) {
      Failed = std::ferror(File) != 0;
      return false;
    }
    if (last == '\r' && buf[0] == '\n') return true;
    for (const char *p = buf.data(), *end = buf.data() + n;
         (p = static_cast<const char *>(std::memchr(p, '\r', static_cast<size_t>(end - p)))); ++p)
      if (p + 1 < end && p[1] == '\n') return true;
    last = buf[n - 1];
  }
}

// Reads records of three lines from a file in large blocks.
class TRecordReader {
public:
  TRecordReader(std::FILE *AFile, size_t Expected, bool ACrLf)
      : File(AFile), Buf(std::clamp<size_t>(Expected + 1, 64, IoBlock)), CrLf(ACrLf),
        EolSize(ACrLf ? 2 : 1) {}

  // 1: a record; 0: clean end of file; -1: a read error or a partial record at the end.
  int Next(std::string_view (&Lines)[3]) {
    size_t starts[3], ends[3];
    int got = 0;
    size_t scan = 0; // relative to Begin
    while (got < 3) {
      const size_t at = FindLineEnd(scan);
      if (at != NoEnd) {
        starts[got] = got == 0 ? 0 : ends[got - 1] + EolSize;
        ends[got++] = at;
        scan = at + EolSize;
        continue;
      }
      if (!Eof) {
        if (!Fill()) return -1;
        continue;
      }
      // The last line without its line end. A CR LF file was cut there (its line may have lost
      // any part of its text): damage. A file of LF lines was more likely edited by hand.
      const size_t from = got == 0 ? 0 : ends[got - 1] + EolSize;
      const size_t to = End - Begin;
      errno = 0; // a damaged file, not a failed read
      if (from == to) return got == 0 ? 0 : -1;
      if (CrLf) return -1;
      starts[got] = from;
      ends[got++] = to;
      if (got < 3) return -1;
      scan = End - Begin;
    }
    const char *base = Buf.data() + Begin;
    for (int k = 0; k < 3; ++k) Lines[k] = {base + starts[k], ends[k] - starts[k]};
    Begin = std::min(Begin + ends[2] + EolSize, End);
    return 1;
  }

private:
  static constexpr size_t NoEnd = static_cast<size_t>(-1);

  // Offset (from Begin) of the next line end at or after Scan; NoEnd when the data read so far
  // has none, Scan then stays where the search has to go on after the next Fill.
  size_t FindLineEnd(size_t &Scan) const {
    const char *base = Buf.data() + Begin;
    const size_t size = End - Begin;
    if (!CrLf) {
      const void *lf = Scan < size ? std::memchr(base + Scan, '\n', size - Scan) : nullptr;
      if (lf) return static_cast<size_t>(static_cast<const char *>(lf) - base);
      Scan = size;
      return NoEnd;
    }
    while (Scan < size) {
      const void *cr = std::memchr(base + Scan, '\r', size - Scan);
      if (!cr) {
        Scan = size;
        return NoEnd;
      }
      const size_t at = static_cast<size_t>(static_cast<const char *>(cr) - base);
      if (at + 1 == size) {
        Scan = at;
        return NoEnd;
      }
      if (base[at + 1] == '\n') return at;
      Scan = at + 1;
    }
    return NoEnd;
  }

  bool Fill() {
    if (Begin > 0) {
      std::memmove(Buf.data(), Buf.data() + Begin, End - Begin);
      End -= Begin;
      Begin = 0;
    }
    if (End == Buf.size()) Buf.resize(Buf.size() * 2); // one record larger than the buffer
    const size_t n = std::fread(Buf.data() + End, 1, Buf.size() - End, File);
    End += n;
    if (n == 0) {
      if (std::ferror(File)) return false;
      Eof = true;
    }
    return true;
  }

  std::FILE *File;
  std::vector<char> Buf;
  const bool CrLf;
  const size_t EolSize;
  size_t Begin = 0;
  size_t End = 0;
  bool Eof = false;
};

// Whether two names stand for one file.
bool SameFile(const std::string &A, const std::string &B) {
  if (A == B) return true;
  std::error_code ec;
  return std::filesystem::equivalent(A, B, ec);
}

} // namespace

TListFileResult SaveListFile(const std::string &FileName, TWNetTree &Tree,
                             std::shared_ptr<files::TAtomicFile> *Unsynced) {
  const auto slash = FileName.rfind('/');
  if (slash != std::string::npos) {
    const std::string dir = FileName.substr(0, slash + 1);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
      throw Exception(FormatMessage("The path %s doesn't exist.", dir));
  }
  std::error_code ec;
  if (std::filesystem::is_directory(FileName, ec)) {
    errno = EISDIR;
    return lfOpenFailed;
  }
  auto file = std::make_shared<files::TAtomicFile>();
  files::TAtomicFile &out = *file;
  if (!out.Open(FileName, 0666, true)) return lfOpenFailed;

  TListFileResult code = lfOk;
  int err = 0; // why the write failed, for the caller's message
  bool writing = true;
  std::string buf;
  const auto flush = [&] {
    if (writing && !buf.empty() && !out.Write(buf.data(), buf.size())) {
      err = errno;
      code = lfAddWriteFailed;
      writing = false; // the remaining files are still gone through, the file is lost anyway
    }
    buf.clear();
  };
  // A name that is not UTF-8 (a server's own bytes) would be read back as Windows-1252, so a
  // rescan would see it removed and new. Such a list starts with the UTF-8 mark, which tells the
  // load to keep its lines' bytes; every other list stays as it always was.
  for (TNodeId n = 0; n < Tree.NodeEnd; ++n)
    if (!(Tree.Rec(n).Flags & TWNetTree::FlagFree) && !text::IsValidUtf8(Tree.NameOf(n))) {
      buf.assign(Utf8Mark);
      break;
    }
  // The domain and directory lines of each directory are made once: after a sort, consecutive
  // rows seldom share a directory.
  std::vector<uint32_t> local(Tree.NodeEnd, TWNetTree::NoList);
  std::vector<std::pair<size_t, size_t>> lines; // offset and size in texts
  std::string texts;
  for (const TNodeId f : Tree.FileList) {
    const TNodeId parent = Tree.Rec(f).Parent;
    if (local[parent] == TWNetTree::NoList) {
      try {
        Tree.UpdateCache(parent);
      } catch (const std::exception &) {
        code = lfReadFailed;
        break;
      }
      const size_t at = texts.size();
      AppendLine(texts, Tree.CachedDomain);
      AppendLine(texts, Tree.CachedDirectory);
      local[parent] = static_cast<uint32_t>(lines.size());
      lines.emplace_back(at, texts.size() - at);
    }
    AppendLine(buf, Tree.NameOf(f));
    const auto [at, size] = lines[local[parent]];
    buf.append(texts, at, size);
    if (buf.size() >= IoBlock) flush();
  }
  if (code != lfReadFailed) flush();
  // What a failed load could not read stays beside the new list.
  const bool keep = !Tree.DamagedListFile_.empty() && SameFile(FileName, Tree.DamagedListFile_) &&
                    std::filesystem::exists(FileName, ec);
  if (code == lfOk && Unsynced && !keep && Tree.DamagedListFile_.empty()) {
    *Unsynced = std::move(file);
    return lfOk;
  }
  if (code == lfOk && ((keep && files::KeepBackup(FileName, ".bak").empty()) || !out.Commit())) {
    err = errno;
    code = lfAddWriteFailed;
  }
  if (code != lfOk) {
    out.Abandon();
    errno = err;
    return code;
  }
  if (keep || SameFile(FileName, Tree.DamagedListFile_)) Tree.DamagedListFile_.clear();
  return lfOk;
}

TListFileResult LoadListFile(const std::string &FileName, TWNetTree &Tree) {
  // A lambda: it shares this friend's access to the tree.
  const auto load = [&]() -> TListFileResult {
    std::error_code ec;
    const auto status = std::filesystem::status(FileName, ec);
    if (status.type() == std::filesystem::file_type::not_found) return lfOk;
    if (status.type() == std::filesystem::file_type::directory) {
      errno = EISDIR;
      return lfOpenFailed;
    }
    std::unique_ptr<std::FILE, TFileCloser> file(std::fopen(FileName.c_str(), "rb"));
    if (!file) return lfOpenFailed;

    bool failed = false;
    const bool crlf = HasCrLf(file.get(), failed);
    if (failed || std::fseek(file.get(), 0, SEEK_SET) != 0) return lfReadFailed;
    char bom[3];
    const bool marked =
        std::fread(bom, 1, 3, file.get()) == 3 && Utf8Mark == std::string_view(bom, 3);
    if (!marked && (std::ferror(file.get()) || std::fseek(file.get(), 0, SEEK_SET) != 0))
      return lfReadFailed;
    const auto size = std::filesystem::file_size(FileName, ec);
    TRecordReader reader(file.get(), ec ? IoBlock : static_cast<size_t>(size), crlf);
    std::string_view lines[3];
    std::string converted[3];
    // Consecutive records mostly share their directory or a part of it: the nodes of the previous
    // record's path are taken again for the components that are the same, which is what looking
    // them up again would give (they are found and already visited).
    bool havePrev = false;
    std::string prevDomain;
    TNodeId prevDomainNode = NoNode;
    std::string prevDir;
    std::vector<std::pair<size_t, size_t>> prevParts; // offset and length in prevDir
    std::vector<TNodeId> prevNodes;
    std::vector<std::string_view> parts;

    for (;;) {
      const int got = reader.Next(lines);
      if (got == 0) return lfOk;
      if (got < 0) return lfReadFailed;
      for (int k = 0; k < 3 && !marked; ++k)
        if (!text::IsValidUtf8(lines[k]))
          lines[k] = converted[k] = text::Windows1252ToUtf8(lines[k]);
      const std::string_view name = lines[0], domain = lines[1], dir = lines[2];
      try {
        bool created;
        if (!havePrev || domain != prevDomain) {
          prevDomainNode = Tree.Obtain(TWNetTree::RootId, domain, created);
          prevDomain.assign(domain);
          prevDir.clear();
          prevParts.clear();
          prevNodes.clear();
          havePrev = true;
        }
        TNodeId node;
        if (!prevParts.empty() && dir == prevDir) {
          node = prevNodes.back();
        } else {
          TWNetTree::SplitPath(dir, parts);
          size_t same = 0;
          while (same < parts.size() && same < prevParts.size() &&
                 parts[same] == std::string_view(prevDir).substr(prevParts[same].first,
                                                                 prevParts[same].second))
            ++same;
          prevNodes.resize(same);
          node = same ? prevNodes.back() : prevDomainNode;
          for (size_t k = same; k < parts.size(); ++k) {
            node = Tree.Obtain(node, parts[k], created);
            prevNodes.push_back(node);
          }
          prevDir.assign(dir);
          prevParts.clear();
          for (const auto part : parts)
            prevParts.emplace_back(static_cast<size_t>(part.data() - dir.data()), part.size());
        }
        const TNodeId leaf = Tree.Obtain(node, name, created);
        if (created) {
          Tree.Rec(leaf).Flags |= TWNetTree::FlagFile;
          Tree.FileList.Add(leaf);
        }
      } catch (const std::exception &) {
        return lfAddWriteFailed;
      }
    }
  };
  TListFileResult code;
  try {
    code = load();
  } catch (...) {
    Tree.DamagedListFile_ = FileName;
    throw;
  }
  if (code != lfOk)
    Tree.DamagedListFile_ = FileName;
  else if (Tree.DamagedListFile_ == FileName)
    Tree.DamagedListFile_.clear();
  return code;
}

} // namespace sonquarry
