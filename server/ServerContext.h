#pragma once

#include "WCryptography.h"

class LoginCheckPool;
class LoginThrottle;
class PluginCatalogue;
class ServerStore;
class SessionRegistry;
class TunnelBroker;

// What every session of the main server shares. Everything here lives on the
// server's main thread except where a class says otherwise.
struct ServerContext
{
    ServerStore &store;
    SessionRegistry &registry;
    TunnelBroker &tunnels;
    const PluginCatalogue &catalogue;
    WKeyPair keys;
    LoginThrottle &loginThrottle;
    LoginCheckPool &loginChecks; // lives on the main thread, runs checks on its own
};
