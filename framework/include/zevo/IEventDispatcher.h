// Delivers events to the listeners of their topic (component
// "com.quorbex.zevo.eventdispatcher").
//
// Threading: thread-safe. Events reach a listener on the dispatcher's
// workers, several at once (IEventListener.h); those of one peer's session
// arrive one after another, in order.
#pragma once

#include "zevo/IBase.h"
#include "zevo/IEventListener.h"
#include "zevo/PString.h"

class IEventDispatcher : public IBase {
 public:
  // Adds iListener for iTopic: 0, and the dispatcher holds a reference to
  // it until it is removed or the dispatcher shuts down (the host does so
  // before it unloads the plug-ins); ERR_ALREADY when it listens to the
  // topic already; ERR_INVALID_ARG for a null listener or an empty topic.
  // Events may reach it before addListener returns.
  virtual int addListener(const PLiteral& iTopic, IEventListener* iListener) = 0;  // slot 2
  // Removes a listener added for the topic and gives back its reference:
  // 0, or ERR_NO_INSTANCE when it was not listening. A notify already
  // running ends on its own.
  virtual int removeListener(const PLiteral& iTopic, IEventListener* iListener) = 0;  // slot 3
};
