// Delivers events to the listeners of their topic.
#pragma once

#include "zevo/IBase.h"
#include "zevo/IEventListener.h"
#include "zevo/PString.h"

class IEventDispatcher : public IBase {
 public:
  // Adds a listener for a topic; the dispatcher holds a reference to it until
  // it is removed or the dispatcher shuts down.
  virtual int addListener(const PLiteral& iTopic, IEventListener* iListener) = 0;     // slot 2
  // Removes a listener added for the topic and gives back its reference.
  virtual int removeListener(const PLiteral& iTopic, IEventListener* iListener) = 0;  // slot 3
};
