// Reading the test network's description (testnet.env, manifest.tsv, dirs.tsv) from an
// integration test that runs inside the client namespace (tests/testnet/testnet.sh exec).
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sonquarry::testing {

// One generated file of a share: path relative to the share, with backslashes.
struct ManifestFile {
  std::string host, workgroup, share, path;
  long long size = 0;
};

// One generated directory of a share.
struct ManifestDir {
  std::string host, workgroup, share, path;
};

inline std::vector<std::string> SplitList(const std::string &s, char sep = ',') {
  std::vector<std::string> out;
  if (s.empty()) return out;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, sep)) out.push_back(item);
  return out;
}

class Env {
public:
  // Loads $SQ_TESTNET_DIR/testnet.env; throws when the network is not described.
  static Env Load() {
    const char *dir = std::getenv("SQ_TESTNET_DIR");
    if (!dir || !*dir)
      throw std::runtime_error("SQ_TESTNET_DIR is not set: run via testnet.sh exec");
    return Env(std::string(dir) + "/testnet.env");
  }

  explicit Env(const std::string &file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string value = line.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        value = value.substr(1, value.size() - 2);
      values_[line.substr(0, eq)] = value;
    }
  }

  bool Has(const std::string &key) const { return values_.count(key) != 0; }

  const std::string &Get(const std::string &key) const {
    auto it = values_.find(key);
    if (it == values_.end()) throw std::runtime_error("testnet.env has no " + key);
    return it->second;
  }

  std::vector<std::string> List(const std::string &key) const { return SplitList(Get(key)); }

  // Host keys (ALPHA, BRAVO, ...) and their fields: NAME, IP, WORKGROUP, ROLE, NS, SHARES,
  // HIDDEN_SHARES, PORTS, PROTOCOLS.
  std::vector<std::string> Hosts() const { return List("SQ_HOSTS"); }
  const std::string &Host(const std::string &key, const std::string &field) const {
    return Get("SQ_" + key + "_" + field);
  }

  std::vector<ManifestFile> Files() const {
    std::vector<ManifestFile> out;
    for (const auto &f : ReadTsv(Get("SQ_MANIFEST"), 5))
      out.push_back({f[0], f[1], f[2], f[3], std::stoll(f[4])});
    return out;
  }

  std::vector<ManifestDir> Dirs() const {
    std::vector<ManifestDir> out;
    for (const auto &f : ReadTsv(Get("SQ_DIRS"), 4)) out.push_back({f[0], f[1], f[2], f[3]});
    return out;
  }

private:
  static std::vector<std::vector<std::string>> ReadTsv(const std::string &file, size_t columns) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      auto fields = SplitList(line, '\t');
      if (line.back() == '\t') fields.push_back("");
      if (fields.size() != columns) throw std::runtime_error("bad line in " + file + ": " + line);
      rows.push_back(fields);
    }
    return rows;
  }

  std::map<std::string, std::string> values_;
};

} // namespace sonquarry::testing
