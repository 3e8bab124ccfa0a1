#pragma once
// The site as one "updpub check" has read it so far, shared by its steps:
// each server, and each file its list names with what the server delivered.
#include <cstdint>
#include <string>
#include <vector>

namespace updpub {

// The root element of a file list.
inline constexpr char kListRoot[] = "Files";

// A listed file as the updater would take it, with what its server delivered.
struct ListedFile {
  std::string name;  // GBK
  uint32_t hash = 0;
  std::string sha256;  // checked only with a key
  bool delivered = false;
  bool intact = false;  // delivered with the listed CRC (and SHA-256)
  uint64_t size = 0;
};

// A server as checked: its label, and its file list when one was read.
struct ServerState {
  std::string name;        // UTF-8
  std::string base;        // Addr, or "" for a folder
  bool listRead = false;
  std::string listWhere;
  std::vector<ListedFile> files;
};

}  // namespace updpub
