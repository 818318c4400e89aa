// The service's identifiers on the bus and in the framework (the components
// it looks up are named in zevo/zevoGetInstance.h).
#pragma once

inline constexpr const wchar_t* kModuleID = L"com.quorbex.zevo.fileaccess";
inline constexpr const wchar_t* kTopic = L"com.quorbex.zevo.fileaccess.topic";
inline constexpr const wchar_t* kLogName = L"zevop.fileaccess.log";
inline constexpr const wchar_t* kConfigSetID = L"zevop.fileaccess";
