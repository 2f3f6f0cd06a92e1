// The list of viewer plug-in paths given with -tvtppath. No plug-in is
// loaded; the list only lives for the length of the run.
#include <cstring>
#include <new>

#include "common/text.h"
#include "endpoints/endpoints.h"

PluginEntry* PluginList = nullptr;

PluginEntry* AddPluginPath(const char* path) {
    if (path == nullptr) return nullptr;
    // A path that does not fit its field is not kept: a cut copy would be
    // another path.
    if (std::strlen(path) >= kMaxPath) return nullptr;
    PluginEntry** tail = &PluginList;
    for (PluginEntry* entry = PluginList; entry != nullptr; entry = entry->next) {
        if (std::strcmp(entry->path, path) == 0) return entry;
        tail = &entry->next;
    }
    auto* entry = new (std::nothrow) PluginEntry;
    if (entry == nullptr) return nullptr;
    CopyText(entry->path, sizeof entry->path, path);
    *tail = entry;
    return entry;
}

// Packets and notifications only reach loaded, started plug-ins with a
// receiver; none is ever loaded, so nothing is handed on.
void OfferPacketToPlugins(PluginEntry* list, const uint8_t* packet) {
    (void)packet;
    for (PluginEntry* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->loaded && entry->started) break;
    }
}

void NotifyPlugins(PluginEntry* list) {
    for (PluginEntry* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->loaded && entry->started) break;
    }
}

void ReleasePlugins() {
    while (PluginList != nullptr) {
        PluginEntry* next = PluginList->next;
        delete PluginList;
        PluginList = next;
    }
}
