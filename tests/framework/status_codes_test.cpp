// Every status code is one row of its owner's list (the framework's, the
// file-access service's, the client's). docs/status-codes.md must show the
// same rows, and the name and meaning functions must answer from them.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "PTestSupport.h"
#include "zevo/PErrors.h"
#include "zevo/client/PClient.h"

namespace {

struct PCode {
  int fValue;
  std::string fMeaning;
  bool fClient;
};

std::string trimmed(const std::string& iText) {
  const size_t first = iText.find_first_not_of(' '), last = iText.find_last_not_of(' ');
  return first == std::string::npos ? "" : iText.substr(first, last - first + 1);
}

// The rows "| VALUE | `NAME` | MEANING | ..." of the doc's tables, by name;
// oTwice: names that stand in more than one row.
std::map<std::string, PCode> documented(std::set<std::string>& oTwice) {
  std::map<std::string, PCode> codes;
  std::istringstream doc(readText(ZEVO_SOURCE_DIR "/docs/status-codes.md"));
  for (std::string line; std::getline(doc, line);) {
    std::vector<std::string> cells;
    std::istringstream row(line);
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(trimmed(cell));
    if (cells.size() < 4 || !cells[0].empty() || cells[1].find_first_not_of("-0123456789") != std::string::npos ||
        cells[1].empty() || cells[2].size() < 3 || cells[2].front() != '`' || cells[2].back() != '`') {
      continue;
    }
    const std::string name = cells[2].substr(1, cells[2].size() - 2);
    if (!codes.emplace(name, PCode{std::stoi(cells[1]), cells[3], false}).second) oTwice.insert(name);
  }
  return codes;
}

}  // namespace

TEST(StatusCodes, EachIsOneRowOfItsOwnersListAndTheDocShowsTheSameRows) {
  std::map<std::string, PCode> listed;
  std::set<int> values;
  std::set<std::string> twice;
#define ZEVO_TEST_ROW_(iName, iValue, iMeaning, iClient)                                         \
  if (!listed.emplace(#iName, PCode{iValue, iMeaning, iClient}).second || !values.insert(iValue).second) \
    twice.insert(#iName);
#define ZEVO_TEST_FRAMEWORK_ROW_(iName, iValue, iMeaning) ZEVO_TEST_ROW_(iName, iValue, iMeaning, false)
#define ZEVO_TEST_CLIENT_ROW_(iName, iValue, iMeaning) ZEVO_TEST_ROW_(iName, iValue, iMeaning, true)
  ZEVO_ERRORS(ZEVO_TEST_FRAMEWORK_ROW_)
  ZEVO_FILEACCESS_STATUSES(ZEVO_TEST_FRAMEWORK_ROW_)
  ZEVO_FILEOPS_STATUSES(ZEVO_TEST_FRAMEWORK_ROW_)
  ZEVO_CLIENT_CODES(ZEVO_TEST_CLIENT_ROW_)
  EXPECT_EQ(std::set<std::string>(), twice) << "a name or a value in two rows of the lists";

  const std::map<std::string, PCode> doc = documented(twice);
  EXPECT_EQ(std::set<std::string>(), twice) << "a name in two rows of the doc";
  for (const auto& [name, code] : listed) {
    const auto found = doc.find(name);
    if (found == doc.end()) {
      ADD_FAILURE() << name << " is missing in docs/status-codes.md";
    } else {
      EXPECT_EQ(code.fValue, found->second.fValue) << name;
      EXPECT_EQ(code.fMeaning, found->second.fMeaning) << name;
    }
    EXPECT_STREQ(name.c_str(), clientCodeName(code.fValue));
    const char* clientMeaning = code.fValue == ERR_ACCESS_DENIED ? "permission denied by policy" : code.fMeaning.c_str();
    EXPECT_STREQ(clientMeaning, clientCodeMeaning(code.fValue));
    EXPECT_STREQ(code.fClient ? nullptr : name.c_str(), PErrors::name(code.fValue));
    EXPECT_STREQ(code.fClient ? nullptr : code.fMeaning.c_str(), PErrors::meaning(code.fValue));
  }
  for (const auto& [name, code] : doc) EXPECT_EQ(1u, listed.count(name)) << name << " is in the doc but in no list";
  for (const int unknown : {1, -1, -599, -627, -4009, -4100, -4108}) {
    EXPECT_EQ(nullptr, clientCodeName(unknown)) << unknown;
    EXPECT_EQ(nullptr, clientCodeMeaning(unknown)) << unknown;
  }
}
