// Helpers shared by the client library's sources. Internal.
#pragma once

#include <chrono>
#include <string>

#include "zevo/client/PClient.h"

// Fills oError; iText empty: the code's meaning. Returns iCode.
int setError(PClientError& oError, int iCode, PErrorOrigin iOrigin, const std::string& iText, const std::string& iWhat);

// A local failure from an errno value: its porting-layer code.
int setLocalError(PClientError& oError, int iErrno, const std::string& iWhat);

// "30 s", "0.25 s".
std::string formatSeconds(int iMilliseconds);

// Milliseconds left until iDeadline (steady clock), at least 0.
int msLeft(std::chrono::steady_clock::time_point iDeadline);
// Waits for iEvents (poll bits) on iFd until iDeadline: the revents, 0 on time-out.
int waitFor(int iFd, short iEvents, std::chrono::steady_clock::time_point iDeadline);
