// The list file: three CR LF terminated lines per row (file name, domain, directory).
//
// Only CR LF ends a line, so a lone CR or LF inside a name is kept and read back as it was. The one
// sequence a text cannot hold is CR LF itself: a save writes a run of CRs that stands right
// before an LF as nothing, so the LF stays and the file stays aligned.

#include "paths/wnet_tree.h"
#include "platform/atomic_file.h"
#include "platform/exception.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace sonquarry {

namespace {

constexpr size_t IoBlock = size_t{1} << 20;

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

// Reads records of three CR LF terminated lines from a file in large blocks.
class TRecordReader {
public:
  TRecordReader(std::FILE *AFile, size_t Expected)
      : File(AFile), Buf(std::clamp<size_t>(Expected + 1, 64, IoBlock)) {}

  // 1: a record; 0: clean end of file; -1: a read error or a partial record at the end.
  int Next(std::string_view (&Lines)[3]) {
    size_t ends[3];
    int got = 0;
    size_t scan = 0; // relative to Begin
    while (got < 3) {
      const size_t at = FindLineEnd(scan);
      if (at != NoEnd) {
        ends[got++] = at;
        scan = at + 2;
        continue;
      }
      if (Eof) return got == 0 && Begin == End ? 0 : -1;
      if (!Fill()) return -1;
    }
    const char *base = Buf.data() + Begin;
    Lines[0] = {base, ends[0]};
    Lines[1] = {base + ends[0] + 2, ends[1] - ends[0] - 2};
    Lines[2] = {base + ends[1] + 2, ends[2] - ends[1] - 2};
    Begin += ends[2] + 2;
    return 1;
  }

private:
  static constexpr size_t NoEnd = static_cast<size_t>(-1);

  // Offset (from Begin) of the next CR LF at or after Scan; NoEnd when the data read so far has
  // none, Scan then stays where the search has to go on after the next Fill.
  size_t FindLineEnd(size_t &Scan) const {
    const char *base = Buf.data() + Begin;
    const size_t size = End - Begin;
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
  size_t Begin = 0;
  size_t End = 0;
  bool Eof = false;
};

} // namespace

int SaveListFile(const std::string &FileName, TWNetTree &Tree) {
  const auto slash = FileName.rfind('/');
  if (slash != std::string::npos) {
    const std::string dir = FileName.substr(0, slash + 1);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
      throw Exception(FormatMessage("The path %s doesn't exist.", dir));
  }
  std::error_code ec;
  if (std::filesystem::is_directory(FileName, ec)) return 1;
  TAtomicFile out;
  if (!out.Open(FileName)) return 1;

  int code = 0;
  bool writing = true;
  std::string buf;
  const auto flush = [&] {
    if (writing && !buf.empty() && !out.Write(buf.data(), buf.size())) {
      code = 3;
      writing = false; // the remaining files are still gone through, the file is lost anyway
    }
    buf.clear();
  };
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
        code = 2;
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
  if (code != 2) flush();
  if (code == 0 && !out.Commit()) code = 3;
  if (code != 0) out.Abandon();
  return code;
}

int LoadListFile(const std::string &FileName, TWNetTree &Tree) {
  std::error_code ec;
  const auto status = std::filesystem::status(FileName, ec);
  if (status.type() == std::filesystem::file_type::not_found) return 0;
  if (status.type() == std::filesystem::file_type::directory) return 1;
  std::unique_ptr<std::FILE, TFileCloser> file(std::fopen(FileName.c_str(), "rb"));
  if (!file) return 1;

  const auto size = std::filesystem::file_size(FileName, ec);
  TRecordReader reader(file.get(), ec ? IoBlock : static_cast<size_t>(size));
  std::string_view lines[3];
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
    if (got == 0) return 0;
    if (got < 0) return 2;
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
               parts[same] ==
                   std::string_view(prevDir).substr(prevParts[same].first, prevParts[same].second))
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
      return 3;
    }
  }
}

} // namespace sonquarry
