#include "PBenchFramework.h"

#include "zevo/core/PConfigManager.h"
#include "zevo/logger/PLogger.h"
#include "zevo/zevoGetInstance.h"

IPlugin* zevoGetPlugin();

PBenchFramework::PBenchFramework(const std::string& iConfigDir) {
  zevoClearInstances();
  PBaseptr<ILogger> logger;
  PLoggerComponent::create(LOG_TARGET_STDERR, LOG_LEVEL_INFO, PLiteral(L""), logger);
  zevoRegisterInstance(PLiteral(ZEVO_ID_LOGGER), logger.get());
  PBaseptr<PConfigManager> configs;
  PConfigManager::create(iConfigDir, configs);
  zevoRegisterInstance(PLiteral(ZEVO_ID_CONFIG_MANAGER), configs.get());
  PEventDispatcher::create(1, fDispatcher);
  zevoRegisterInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), fDispatcher.get());
  zevoRegisterInstance(PLiteral(ZEVO_ID_COMMS), &fComms);
  fPlugin = zevoGetPlugin();
  fPlugin->incRef();
  if (fPlugin->init() != 0) {
    fPlugin->decRef();
    fPlugin = nullptr;
  }
}

PBenchFramework::~PBenchFramework() {
  fDispatcher->removeAllListeners();
  if (fPlugin) fPlugin->decRef();
  zevoClearInstances();
}
