// The service's names in the framework (its module ID and topic are in
// zevo/protocol/PFileAccessProtocol.h, the components it looks up in
// zevo/zevoGetInstance.h, its configuration set in PAccessPolicy.h).
#pragma once

inline constexpr const wchar_t* kLogName = L"zevop.fileaccess.log";
