// Helpers of the hardening tests: a farm of symbolic links, snapshots of a
// tree, and the process's link policy set for one scope.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "PTestSupport.h"
#include "zevo/PPathPolicy.h"

// Sets the process-wide link policy; puts the previous one back at scope end.
class PSymlinkPolicyScope {
 public:
  explicit PSymlinkPolicyScope(int iPolicy) : fSaved(PPathPolicy::symlinks()) { PPathPolicy::setSymlinks(iPolicy); }
  ~PSymlinkPolicyScope() { PPathPolicy::setSymlinks(fSaved); }
  PSymlinkPolicyScope(const PSymlinkPolicyScope&) = delete;
  PSymlinkPolicyScope& operator=(const PSymlinkPolicyScope&) = delete;

 private:
  int fSaved;
};

// Every entry below iRoot, links not followed: its kind and its content (a
// file), target (a link) or nothing (a directory). Changes show as a
// different map.
inline std::map<std::string, std::string> treeSnapshot(const std::string& iRoot) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(iRoot, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string path = it->path().string();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) continue;
    std::string& value = entries[path.substr(iRoot.size())];
    if (S_ISLNK(info.st_mode)) {
      value = "link:" + std::filesystem::read_symlink(path, error).string();
    } else if (S_ISDIR(info.st_mode)) {
      value = "dir";
    } else {
      value = "file:" + readText(path);
    }
  }
  return entries;
}

// A granted tree and an outside tree, with links of every kind in the
// first. Paths are canonical, so that only the farm's own links are links.
//
//   tree/file "inside"        tree/sub/inner "inner"    tree/sub/deeper/
//   tree/mid -> OUT           tree/relmid -> ../outside  (links to a directory outside)
//   tree/end -> OUT/secret    (link to a file outside)
//   tree/inlink -> sub        tree/infile -> file        (links that stay inside)
//   tree/dangling -> OUT/new  (dangling, its target outside)
//   tree/loop1 -> loop2 -> loop1
//   outside/secret "secret"   outside/inner "OUTSIDE"    outside/dir/
class PLinkFarm {
 public:
  PLinkFarm() {
    fRoot = std::filesystem::canonical(fDir.path()).string();
    std::filesystem::create_directories(tree("sub/deeper"));
    std::filesystem::create_directories(outside("dir"));
    writeText(tree("file"), "inside");
    writeText(tree("sub/inner"), "inner");
    writeText(outside("secret"), "secret");
    writeText(outside("inner"), "OUTSIDE");
    link(outside(""), "mid");
    link("../outside", "relmid");
    link(outside("secret"), "end");
    link("sub", "inlink");
    link("file", "infile");
    link(outside("new"), "dangling");
    link("loop2", "loop1");
    link("loop1", "loop2");
  }

  std::string root() const { return fRoot; }
  std::string tree(const std::string& iName) const { return fRoot + "/tree/" + iName; }
  std::string outside(const std::string& iName) const { return fRoot + "/outside/" + iName; }
  std::wstring wtree(const std::string& iName) const { return widen(tree(iName)); }
  std::map<std::string, std::string> outsideSnapshot() const { return treeSnapshot(fRoot + "/outside"); }

 private:
  void link(const std::string& iTarget, const std::string& iName) {
    if (::symlink(iTarget.c_str(), tree(iName).c_str()) != 0) ADD_FAILURE() << "symlink " << iName;
  }

  PTempDir fDir;
  std::string fRoot;
};
