#include "endpoints/endpoints.h"

PluginEntry* PluginList = nullptr;

// Placeholder definitions; the plug-in list follows.
PluginEntry* AddPluginPath(const char*) { return nullptr; }
void OfferPacketToPlugins(PluginEntry*, const uint8_t*) {}
void NotifyPlugins(PluginEntry*) {}
void ReleasePlugins() {}
