// How zevofa shows what it found: names made safe for a terminal, modes
// and times as ls shows them, JSON objects one a line, and the remote
// wildcards it expands. No connection here.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "zevo/client/PClientTypes.h"

// iName with its control characters escaped as ls -b does ("\n", "\033",
// "\\"), when iTerminal; as it is otherwise.
std::string shownName(const std::string& iName, bool iTerminal);

// "drwxr-xr-x"; "?" for bits that are not known.
std::string modeText(PRemoteKind iKind, int iMode);
// "2026-12-07 10:15" in local time; "-" when unknown.
std::string timeText(long long iTimeNs);
// "file", "dir", "link", "other", "none".
const char* kindName(PRemoteKind iKind);

// One JSON object: "path", "name" (when given), "type", "size", "mode"
// ("0644"), "mtime" (ISO 8601, UTC) and "mtime_ns", those unknown left out.
nlohmann::json statJson(const std::string& iPath, const std::string& iName, const PRemoteStat& iStat);
// Prints the object on one line of standard output; text that is not UTF-8
// is replaced.
void printJson(const nlohmann::json& iObject);

// Whether a path component holds a wildcard: *, ? or [.
bool hasWildcard(const std::string& iText);
// Whether iName matches the shell pattern iPattern ("*.log", "data-[0-9]");
// a leading "." only matches a "." written so.
bool matchesPattern(const std::string& iPattern, const std::string& iName);
