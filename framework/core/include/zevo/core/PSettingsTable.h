// A configuration set described as a table: one row per setting, with its
// key, its command-line option, the kind of value it takes, its default, the
// field it sets and one line of help. From the rows come the usage text, the
// check for unknown keys, option parsing, the checks of every value (a bad
// one named by its file, line and key, or by its option) and the table of
// keys in the documentation.
//
// A program or plug-in writes its rows once, makes one PSettingsTable of
// them and keeps it; checks that span several settings stay its own, as
// short steps after resolve().
//
// Threading: a table never changes once made; every function may run on any
// thread. Nothing here throws across the table's functions but
// std::bad_alloc.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zevo/IConfig.h"
#include "zevo/PExport.h"
#include "zevo/core/PConfig.h"

// What a value must be.
enum class PSettingKind {
  kCount,      // a decimal number from fMin to fMax
  kBytes,      // the same, a size in bytes
  kSeconds,    // the same, a time in seconds
  kWords,      // one of fWords; with fNumbered also the number of one
  kOnOff,      // "on" or "off"
  kText,       // any text (the row's own store judges it)
  kPath,       // a path, made absolute; empty: none
  kList,       // comma-separated entries, blanks around them trimmed, empty ones dropped
  kPaths,      // a list of paths, each made absolute
  kEndpoints,  // a list of unix:PATH, tcp:HOST:PORT, tls:HOST:PORT; unix: paths made absolute
  kUser,       // a user name the system knows, or a user number
  kGroup,      // a group name the system knows, or a group number
  kMode,       // an octal file mode from 0 to 0777
};

struct PSettingWord {
  const char* fWord;
  int fValue;
};

struct ZEVO_EXPORT PSettingType {
  PSettingKind fKind = PSettingKind::kText;
  long fMin = 0, fMax = 0;           // numbers
  std::vector<PSettingWord> fWords;  // kWords
  bool fNumbered = false;            // kWords: a word's value is accepted as a number too
  bool fRepeatable = false;          // each option adds one entry; the options replace the key's list
  const char* fArg = "VALUE";        // the value's name in the usage text

  static PSettingType count(long iMin, long iMax);
  static PSettingType bytes(long iMin, long iMax);
  static PSettingType seconds(long iMin, long iMax);
  static PSettingType words(const char* iArg, std::vector<PSettingWord> iWords, bool iNumbered = false);
  static PSettingType onOff();
  static PSettingType text(const char* iArg);
  static PSettingType path();
  static PSettingType list();
  static PSettingType paths();      // repeatable
  static PSettingType endpoints();  // repeatable
  static PSettingType user();
  static PSettingType group();
  static PSettingType mode();
};

// What a valid value became.
struct PSettingValue {
  long fNumber = 0;               // numbers, a word's value, on (1) or off (0), modes, user and group numbers
  long fGroup = -1;               // kUser: the user's own group; -1 for a number the system does not know
  std::string fText;              // kText, kPath (absolute; empty: none), kWords (the word)
  std::vector<std::string> fList; // the list kinds
};

// The row less the field it sets.
struct PSettingInfo {
  const char* fKey;          // "connection.max"; never null
  const char* fOption;       // "--connection-max"; null: the key alone
  PSettingType fType;
  // Taken, as a key's value is, when neither key nor option gives one, or
  // when they give an empty list; null: none.
  const char* fDefault;
  const char* fHelp;         // one line, plain text
  const char* fDefaultNote;  // what the usage and the docs say instead of fDefault; null: fDefault
};

// Options as given: each option's values, in order.
using PSettingOptions = std::map<std::string, std::vector<std::string>>;
// The settings that a key or an option gave (a default is not in it), by
// key, each with where: "FILE:LINE" or the option's name.
using PSettingsGiven = std::map<std::string, std::string>;

// The user or group of a name in the system's databases: false when none is
// known (an empty name included). Any thread.
ZEVO_EXPORT bool lookUpUser(const std::string& iName, long& oUser, long& oGroup);
ZEVO_EXPORT bool lookUpGroup(const std::string& iName, long& oGroup);

// The part of a table that does not depend on the settings it fills.
class ZEVO_EXPORT PSettingsBase {
 public:
  // Where each key of a set stands, for messages: "FILE:LINE" (the file
  // alone for a key it does not hold). The function uses iConfig, which
  // must outlive it; null for a null iConfig.
  using Where = std::function<std::string(const std::string& iKey)>;
  static Where where(const PConfig* iConfig);

  // The options' lines of a usage text, wrapped to 79 columns.
  std::string usage() const;
  // One such line for an option that is no row ("-h, --help").
  static std::string usageLine(const std::string& iOption, const std::string& iHelp);
  // The keys as a Markdown table: key, option, default, meaning.
  std::string docTable() const;
  // One line per key of iConfig that no row has: "unknown key 'x' at FILE:LINE (ignored)".
  std::vector<std::string> unknownKeys(const PConfig* iConfig) const;

  // When iArgv[ioIndex] is a row's option ("--name VALUE" or
  // "--name=VALUE"), adds its value to ioOptions, moves ioIndex past it and
  // answers 1; 0 when it is no row's option; -1 with oError when its value
  // is missing.
  int takeOption(int iArgc, char** iArgv, int& ioIndex, PSettingOptions& ioOptions, std::string& oError) const;
  // The same for one option iOption that is no row's ("--config-dir"): its
  // value in oValue.
  static int takeOption(int iArgc, char** iArgv, int& ioIndex, const std::string& iOption, std::string& oValue,
                        std::string& oError);

  // iPath made absolute against iBase (empty: the current directory);
  // "credential:NAME" is the file NAME of $CREDENTIALS_DIRECTORY, the
  // credentials a service manager passed (left as it is without one).
  static std::string absolute(const std::string& iPath, const std::string& iBase = "");

 protected:
  struct Resolved {
    bool fSet = false;   // a value was given or defaulted
    std::string fWhere;  // "FILE:LINE: key: " or "--option: ", for messages
    PSettingValue fValue;
  };

  explicit PSettingsBase(std::vector<PSettingInfo> iInfos) : fInfos(std::move(iInfos)) {}
  // Each row's value: its option's when given, else its key's in iConfig
  // (null: no set), else its default. Relative paths are made absolute
  // against iBase (empty: the current directory). False with oError at
  // the first value that is not valid.
  bool resolveValues(IConfig* iConfig, const Where& iWhere, const PSettingOptions& iOptions, const std::string& iBase,
                     std::vector<Resolved>& oValues, PSettingsGiven& oGiven, std::string& oError) const;

  std::vector<PSettingInfo> fInfos;
};

// How a row puts a valid value into the settings: a field of a matching
// type, or a function that may refuse the value with oWhy (said after
// "FILE:LINE: key: ").
template <class S>
class PSettingStore {
 public:
  using Function = std::function<bool(S& ioSettings, const PSettingValue& iValue, std::string& oWhy)>;

  PSettingStore(long S::*iField) : fStore([iField](S& s, const PSettingValue& v, std::string&) { return (s.*iField = v.fNumber, true); }) {}
  PSettingStore(int S::*iField)
      : fStore([iField](S& s, const PSettingValue& v, std::string&) { return (s.*iField = static_cast<int>(v.fNumber), true); }) {}
  PSettingStore(unsigned S::*iField)
      : fStore([iField](S& s, const PSettingValue& v, std::string&) { return (s.*iField = static_cast<unsigned>(v.fNumber), true); }) {}
  PSettingStore(bool S::*iField) : fStore([iField](S& s, const PSettingValue& v, std::string&) { return (s.*iField = v.fNumber != 0, true); }) {}
  PSettingStore(std::string S::*iField) : fStore([iField](S& s, const PSettingValue& v, std::string&) { return (s.*iField = v.fText, true); }) {}
  PSettingStore(std::vector<std::string> S::*iField)
      : fStore([iField](S& s, const PSettingValue& v, std::string&) { return (s.*iField = v.fList, true); }) {}
  template <class F, class = std::enable_if_t<std::is_invocable_r_v<bool, F, S&, const PSettingValue&, std::string&>>>
  PSettingStore(F iFunction) : fStore(std::move(iFunction)) {}

  bool operator()(S& ioSettings, const PSettingValue& iValue, std::string& oWhy) const { return fStore(ioSettings, iValue, oWhy); }

 private:
  Function fStore;
};

template <class S>
struct PSettingRow {
  PSettingRow(const char* iKey, const char* iOption, PSettingType iType, const char* iDefault, PSettingStore<S> iStore,
              const char* iHelp, const char* iDefaultNote = nullptr)
      : fInfo{iKey, iOption, std::move(iType), iDefault, iHelp, iDefaultNote}, fStore(std::move(iStore)) {}
  PSettingInfo fInfo;
  PSettingStore<S> fStore;
};

template <class S>
class PSettingsTable : public PSettingsBase {
 public:
  explicit PSettingsTable(const std::vector<PSettingRow<S>>& iRows) : PSettingsBase(infosOf(iRows)) {
    for (const PSettingRow<S>& row : iRows) fStores.push_back(row.fStore);
  }

  // The rows whose key starts with iPrefix, as a table of their own.
  PSettingsTable only(const std::string& iPrefix) const {
    std::vector<PSettingRow<S>> rows;
    for (size_t i = 0; i < fInfos.size(); ++i) {
      const PSettingInfo& info = fInfos[i];
      if (std::string(info.fKey).compare(0, iPrefix.size(), iPrefix) != 0) continue;
      rows.emplace_back(info.fKey, info.fOption, info.fType, info.fDefault, fStores[i], info.fHelp, info.fDefaultNote);
    }
    return PSettingsTable(rows);
  }

  // Puts each row's value (its option's, else its key's in iConfig, else
  // its default) into ioSettings, in the rows' order; a row without any
  // leaves its field as it is. oGiven: what keys and options gave. False
  // with oError ("FILE:LINE: key: \"12a\" is not a number from 1 to 100"
  // or "--option: ...") at the first bad value; ioSettings is then partly
  // filled.
  bool resolve(IConfig* iConfig, const Where& iWhere, const PSettingOptions& iOptions, const std::string& iBase,
               S& ioSettings, PSettingsGiven& oGiven, std::string& oError) const {
    std::vector<Resolved> values;
    if (!resolveValues(iConfig, iWhere, iOptions, iBase, values, oGiven, oError)) return false;
    for (size_t i = 0; i < values.size(); ++i) {
      std::string why;
      if (values[i].fSet && !fStores[i](ioSettings, values[i].fValue, why)) {
        oError = values[i].fWhere + why;
        return false;
      }
    }
    return true;
  }

 private:
  static std::vector<PSettingInfo> infosOf(const std::vector<PSettingRow<S>>& iRows) {
    std::vector<PSettingInfo> infos;
    for (const PSettingRow<S>& row : iRows) infos.push_back(row.fInfo);
    return infos;
  }

  std::vector<PSettingStore<S>> fStores;
};
