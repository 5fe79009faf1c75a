// velta import: many versions in one commit, from files, a directory, or
// the history of files in a git repository (read with libgit2).
//
// Each source yields its versions oldest first; each version becomes one
// splice of the object (identical neighbours are skipped unless --force),
// and the whole import is one write transaction.
#include <dirent.h>
#include <git2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "store_access.h"
#include "velta.h"

namespace velta::tool {
namespace {

// One object to import: its name and a way to fetch its versions in order.
struct Source {
  std::string name;
  std::size_t versions = 0;
  std::function<std::string(std::size_t)> fetch;
};

std::string base_name(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_dir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Regular files of a directory, sorted by name (not recursive).
std::vector<std::string> dir_files(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) fail(kExitIo, "cannot read " + dir + ": " + error_text(errno));
  std::vector<std::string> files;
  while (const dirent* ent = ::readdir(d.get())) {
    const std::string path = dir + "/" + ent->d_name;
    struct stat st {};
    if (ent->d_name[0] != '.' && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files.push_back(path);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) fail(kExitNotFound, dir + " holds no files");
  return files;
}

// ------------------------------------------------------------- git

[[noreturn]] void git_fail(const std::string& what) {
  const git_error* err = git_error_last();
  fail(kExitIo, what + ": " + (err && err->message ? err->message : "libgit2 error"));
}

template <class T, void (*Free)(T*)>
struct GitFree {
  void operator()(T* p) const noexcept { Free(p); }
};
using Repo = std::unique_ptr<git_repository, GitFree<git_repository, git_repository_free>>;
using Walk = std::unique_ptr<git_revwalk, GitFree<git_revwalk, git_revwalk_free>>;
using Commit = std::unique_ptr<git_commit, GitFree<git_commit, git_commit_free>>;
using Tree = std::unique_ptr<git_tree, GitFree<git_tree, git_tree_free>>;
using TreeEntry = std::unique_ptr<git_tree_entry, GitFree<git_tree_entry, git_tree_entry_free>>;
using Blob = std::unique_ptr<git_blob, GitFree<git_blob, git_blob_free>>;

// libgit2 is initialised once for the process and shut down at exit.
struct GitLibrary {
  GitLibrary() { git_libgit2_init(); }
  ~GitLibrary() { git_libgit2_shutdown(); }
};

// The blob ids `path` had along the first-parent history of HEAD, oldest
// first, one per change (a commit that leaves the file alone adds nothing).
std::vector<git_oid> blob_history(git_repository* repo, const std::string& path) {
  git_revwalk* raw_walk = nullptr;
  if (git_revwalk_new(&raw_walk, repo) != 0) git_fail("cannot walk the history");
  Walk walk(raw_walk);
  git_revwalk_sorting(walk.get(), GIT_SORT_TOPOLOGICAL | GIT_SORT_TIME | GIT_SORT_REVERSE);
  git_revwalk_simplify_first_parent(walk.get());
  if (git_revwalk_push_head(walk.get()) != 0) git_fail("cannot read HEAD");
  std::vector<git_oid> blobs;
  git_oid id;
  while (git_revwalk_next(&id, walk.get()) == 0) {
    git_commit* raw_commit = nullptr;
    if (git_commit_lookup(&raw_commit, repo, &id) != 0) git_fail("cannot read a commit");
    Commit commit(raw_commit);
    git_tree* raw_tree = nullptr;
    if (git_commit_tree(&raw_tree, commit.get()) != 0) git_fail("cannot read a tree");
    Tree tree(raw_tree);
    git_tree_entry* raw_entry = nullptr;
    if (git_tree_entry_bypath(&raw_entry, tree.get(), path.c_str()) != 0) continue;
    TreeEntry entry(raw_entry);
    if (git_tree_entry_type(entry.get()) != GIT_OBJECT_BLOB) continue;
    const git_oid* blob = git_tree_entry_id(entry.get());
    if (blobs.empty() || git_oid_cmp(&blobs.back(), blob) != 0) blobs.push_back(*blob);
  }
  if (blobs.empty()) fail(kExitNotFound, "no version of " + path + " in the history of HEAD");
  return blobs;
}

std::string blob_text(git_repository* repo, const git_oid& id) {
  git_blob* raw = nullptr;
  if (git_blob_lookup(&raw, repo, &id) != 0) git_fail("cannot read a blob");
  Blob blob(raw);
  const auto* data = static_cast<const char*>(git_blob_rawcontent(blob.get()));
  return std::string(data, static_cast<std::size_t>(git_blob_rawsize(blob.get())));
}

// ------------------------------------------------------------ progress

// A one-line bar on stderr, drawn only when stderr is a terminal.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), on_(::isatty(2) == 1) {}
  void step(const std::string& name, std::size_t done) const {
    if (!on_ || total_ == 0) return;
    constexpr std::size_t kWidth = 30;
    const std::size_t fill = done * kWidth / total_;
    std::fprintf(stderr, "\rimporting %-20.20s [%s%s] %zu/%zu", name.c_str(),
                 std::string(fill, '#').c_str(), std::string(kWidth - fill, ' ').c_str(), done,
                 total_);
    if (done == total_) std::fputc('\n', stderr);
  }

 private:
  std::size_t total_;
  bool on_;
};

}  // namespace

int cmd_import(const Options& o) {
  std::vector<Source> sources;
  std::unique_ptr<GitLibrary> git;
  Repo repo;
  if (!o.git_repo.empty()) {
    if (o.inputs.empty()) fail(kExitUsage, "--git needs at least one PATH inside the repository");
    if (!o.name.empty() && o.inputs.size() > 1) {
      fail(kExitUsage, "--name applies to one PATH only");
    }
    git = std::make_unique<GitLibrary>();
    git_repository* raw = nullptr;
    if (git_repository_open_ext(&raw, o.git_repo.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) !=
        0) {
      git_fail("cannot open the git repository " + o.git_repo);
    }
    repo.reset(raw);
    for (const std::string& path : o.inputs) {
      auto blobs = std::make_shared<std::vector<git_oid>>(blob_history(repo.get(), path));
      git_repository* r = repo.get();
      sources.push_back({o.name.empty() ? path : o.name, blobs->size(),
                         [r, blobs](std::size_t i) { return blob_text(r, (*blobs)[i]); }});
    }
  } else {
    if (o.inputs.empty()) fail(kExitUsage, "import needs a directory or files");
    std::vector<std::string> files;
    std::string name = o.name;
    if (o.inputs.size() == 1 && is_dir(o.inputs[0])) {
      files = dir_files(o.inputs[0]);
      if (name.empty()) name = base_name(o.inputs[0]);
    } else {
      files = o.inputs;
      if (name.empty()) name = base_name(files[0]);
    }
    sources.push_back({name, files.size(), [files](std::size_t i) {
                         std::string text = read_input(files[i]);
                         if (text.find('\0') != std::string::npos) {
                           fail(kExitUsage, files[i] + " holds NUL bytes; import takes text");
                         }
                         return text;
                       }});
  }
  std::size_t total = 0;
  for (const Source& s : sources) {
    check_name(s.name);
    total += s.versions;
  }

  std::vector<std::size_t> added(sources.size());
  write_transaction(o.store, true, [&](vl_engine* e) {
    Progress progress(total);
    std::size_t done = 0;
    for (std::size_t k = 0; k < sources.size(); ++k) {
      const Source& s = sources[k];
      added[k] = 0;
      vl_object* obj = vl_object_open(e, s.name.c_str());
      std::string previous = obj ? read_version(e, obj, vl_object_versions(obj) - 1) : "";
      for (std::size_t i = 0; i < s.versions; ++i) {
        std::string text = s.fetch(i);
        if (!obj) {
          obj = vl_create(e, s.name.c_str(), text.data(), text.size());
          if (!obj) fail(kExitIo, "out of memory creating '" + s.name + "'");
          ++added[k];
        } else if (splice_to(e, obj, previous, text, o.force)) {
          ++added[k];
        }
        previous = std::move(text);
        progress.step(s.name, ++done);
      }
    }
    for (std::size_t n : added) {
      if (n) return true;
    }
    return false;
  });
  for (std::size_t k = 0; k < sources.size(); ++k) {
    std::printf("%s: %zu versions added (%zu identical skipped)\n", sources[k].name.c_str(),
                added[k], sources[k].versions - added[k]);
  }
  return kExitOk;
}

}  // namespace velta::tool
