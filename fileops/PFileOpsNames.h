// The service's names in the framework (its module ID and topic are in
// zevo/protocol/PFileOpsProtocol.h, the policy's set in PAccessPolicy.h).
#pragma once

inline constexpr const wchar_t* kLogName = L"zevop.fileops.log";
inline constexpr const wchar_t* kSettingsSetID = L"zevop.fileops";
inline constexpr const wchar_t* kAuditLogName = L"zevo.audit";  // audit lines no session sees
