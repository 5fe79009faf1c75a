// The velta tool's commands. main() fills one Options from the command
// line; each command reads the fields it documents in velta.1, returns its
// exit code, and throws Failure (store_access.h) when it stops early.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velta::tool {

struct Options {
  std::string store;
  std::string name;
  std::string new_name;
  std::string file;    // put: input ("-" = stdin); train: sample
  std::string output;  // cat -o
  std::string pattern;
  std::string version;  // cat -v (kept as text: validated against the object)
  std::string range;    // cat --range START:LEN
  std::string a, b;     // diff versions; merge base and other
  std::string start, length;
  std::string keep;
  std::vector<std::string> inputs;  // import: a directory or files
  std::string git_repo;             // import --git
  std::string layout;               // save: mappable, zstd, zlib, plain
  std::string max_hits = "100";
  std::string passes = "4", per_pass = "1000", min_count = "2";
  std::string chunk_size, min_chunk, max_chunk;
  bool binary = false;
  bool fixed_chunks = false;
  bool force = false;
  bool json = false;
  bool count = false;
  bool all_versions = false;
  bool preview = false;
};

// Reading (read_commands.cc).
int cmd_info(const Options& o);
int cmd_ls(const Options& o);
int cmd_cat(const Options& o);
int cmd_log(const Options& o);
int cmd_diff(const Options& o);
int cmd_search(const Options& o);
int cmd_history(const Options& o);
int cmd_verify(const Options& o);

// Writing (write_commands.cc).
int cmd_init(const Options& o);
int cmd_put(const Options& o);
int cmd_rm(const Options& o);
int cmd_mv(const Options& o);
int cmd_merge(const Options& o);
int cmd_train(const Options& o);
int cmd_trim(const Options& o);
int cmd_save(const Options& o);
int cmd_unlock(const Options& o);

// import (import_command.cc).
int cmd_import(const Options& o);

}  // namespace velta::tool
