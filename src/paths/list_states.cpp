#include "paths/list_states.h"

#include "platform/files/atomic_file.h"
#include "platform/files/file_stamp.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sonquarry {

namespace {

constexpr const char *Magic = "Sonquarry row states 1";

// What ties the states to one save of the list: rows, size, modification time in ns.
bool ListStamp(const std::string &ListFileName, int Rows, std::string &Stamp) {
  files::FileStamp st;
  if (!files::ReadFileStamp(ListFileName, st)) return false;
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s %d %lld %lld.%09ld\n", Magic, Rows,
                static_cast<long long>(st.Size), static_cast<long long>(st.Seconds),
                st.Nanoseconds);
  Stamp = buf;
  return true;
}

} // namespace

std::string ListStatesFileName(const std::string &ListFileName) { return ListFileName + ".states"; }

std::string ListStatesText(TWNetTree &Tree) {
  const TWNetNodeList &rows = Tree.Files();
  std::string states(static_cast<size_t>(rows.Count()), '0');
  for (int i = 0; i < rows.Count(); ++i)
    states[i] = static_cast<char>('0' + (Tree.Node(rows[i]).State() & 3));
  return states;
}

bool WriteListStates(const std::string &ListFileName, const std::string &States) {
  std::string data;
  if (!ListStamp(ListFileName, static_cast<int>(States.size()), data)) return false;
  data += States;
  data += '\n';
  files::TAtomicFile out;
  return out.Open(ListStatesFileName(ListFileName)) && out.Write(data.data(), data.size()) &&
         out.Commit();
}

bool SaveListStates(const std::string &ListFileName, TWNetTree &Tree) {
  return WriteListStates(ListFileName, ListStatesText(Tree));
}

bool LoadListStates(const std::string &ListFileName, TWNetTree &Tree) {
  std::string stamp;
  if (!ListStamp(ListFileName, Tree.Count(), stamp)) return false;
  std::ifstream in(ListStatesFileName(ListFileName), std::ios::binary);
  if (!in) return false;
  std::string line;
  if (!std::getline(in, line) || line + '\n' != stamp) return false;
  const int n = Tree.Count();
  std::string states(static_cast<size_t>(n), '\0');
  if (!in.read(states.data(), n)) return false;
  for (const char c : states)
    if (c < '0' || c > '3') return false;
  for (int i = 0; i < n; ++i) Tree.File(i).SetState(static_cast<TNodeState>(states[i] - '0'));
  return true;
}

} // namespace sonquarry
