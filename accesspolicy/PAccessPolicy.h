// The access policy of the file plug-ins: four lists of directories from
// the configuration set "zevop.fileaccess", and the rule that judges a
// directory by them. A path is judged by the directory that holds it
// (directoryOf): everything up to and including its last "/".
//
//   fileaccess.read             read,  the directory equals an entry
//   fileaccess.write            write, the directory equals an entry
//   fileaccess.read.recursive   read,  an entry is a prefix of the directory
//   fileaccess.write.recursive  write, an entry is a prefix of the directory
//
// An entry is a comma-separated piece of the value, trimmed, runs of "/"
// collapsed, ending in "/"; empty pieces are skipped. The comparison is
// textual: ".." and links are the porting layer's to refuse.
//
// Threading: filled once (add, load), then only read, from any thread.
#pragma once

#include <functional>
#include <vector>

#include "zevo/IConfig.h"
#include "zevo/PString.h"

class PAccessPolicy {
 public:
  enum List { READ = 0, WRITE = 1, READ_TREE = 2, WRITE_TREE = 3, LIST_COUNT = 4 };
  // The set and its keys, in the order they are read.
  static const wchar_t* const kSetID;
  static const wchar_t* key(List iList);

  // Appends the entries of a configuration value to a list.
  void add(List iList, const PLiteral& iValue) { tokenize(iValue, fLists[iList]); }
  static void tokenize(const PLiteral& iValue, std::vector<PString>& ioEntries);
  // Reads the four keys in order; the first that fails stops it with its
  // code. iTrace sees each key's outcome (code, and the value on 0).
  int load(IConfig& iConfig, const std::function<void(List, int, const PString&)>& iTrace = {});
  const std::vector<PString>& entries(List iList) const { return fLists[iList]; }
  void clear();

  // ACCESS_READ | ACCESS_WRITE (zevo/protocol/PFileAccessProtocol.h) that
  // the lists grant a directory (a trailing "/" is added when missing).
  unsigned int judge(const PLiteral& iDirectory) const;
  // Reduces a path in place to the directory that holds it, separators
  // collapsed: "/a//b" -> "/a/", "/a/b/" -> "/a/b/", "name" -> "".
  static void directoryOf(PString& ioPath);
  // The access a path gets: judge(directoryOf(path)).
  unsigned int access(const PLiteral& iPath) const;

 private:
  std::vector<PString> fLists[LIST_COUNT];
};
