// zevofa's commands over hosts behind an MQTT broker (docs/client.md#fleet):
// "devices" lists the hosts online by their retained presence, and "fleet"
// runs get, put or any single zevofa command on many of them at once, a
// bounded number in parallel, with one progress line per device on a
// terminal, a summary at the end (or --json) and an exit status that says
// whether any device failed. Kept apart from zevofa's other commands:
// zevofa.cpp hands these commands to fleetMain and the broker options of
// every command to takeMqttOption.
#pragma once

#include <string>

#include "zevo/client/PClient.h"

// --mqtt-name, --mqtt-user, --mqtt-password-file, --mqtt-prefix.
bool isMqttOption(const std::string& iName);
// Applies one of them (the password file is read now): kExitOk, or
// kExitUsage with the reason printed.
int takeMqttOption(const std::string& iName, const std::string& iValue, PClientMqtt& ioMqtt);
// ZEVOFA_MQTT_NAME, ZEVOFA_MQTT_USER, ZEVOFA_MQTT_PASSWORD and
// ZEVOFA_MQTT_PREFIX, for what no option gave.
void mqttFromEnvironment(PClientMqtt& ioMqtt);

// Whether the command of the command line is devices or fleet (or help
// about them).
bool isFleetCommand(int iArgc, char** iArgv);
// Runs it: the program's exit status.
int fleetMain(int iArgc, char** iArgv);
