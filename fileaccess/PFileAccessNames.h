// The service's identifiers on the bus and in the framework.
#pragma once

inline constexpr const wchar_t* kModuleID = L"com.quorbex.zevo.fileaccess";
inline constexpr const wchar_t* kTopic = L"com.quorbex.zevo.fileaccess.topic";
inline constexpr const wchar_t* kLogName = L"zevop.fileaccess.log";
inline constexpr const wchar_t* kConfigSetID = L"zevop.fileaccess";

inline constexpr const wchar_t* kLoggerID = L"com.quorbex.zevo.logger";
inline constexpr const wchar_t* kConfigManagerID = L"com.quorbex.zevo.config.manager";
inline constexpr const wchar_t* kEventDispatcherID = L"com.quorbex.zevo.eventdispatcher";
inline constexpr const wchar_t* kCommsID = L"com.quorbex.zevo.comms";
