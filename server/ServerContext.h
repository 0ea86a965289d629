#pragma once

#include "WCryptography.h"

class LoginThrottle;
class PasswordWorkPool;
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
    PasswordWorkPool &passwordWork; // lives on the main thread, works on its own
};
