#include "idpool.h"

IdPool::IdPool() : nextId(kFirstId), maxId(65536) {}

IdPool::~IdPool()
{
    freeIds.clear();
    inUse.clear();
}

void IdPool::Init()
{
    nextId = kFirstId;
    maxId = 65536;
}

uint16_t IdPool::Allocate()
{
    uint16_t id;
    if (static_cast<uint32_t>(nextId) + 1 <= maxId - 1) {
        id = nextId;
        nextId++;
    } else if (!freeIds.empty()) {
        id = freeIds.front();
        freeIds.pop_front();
    } else {
        return kNoFreeId;
    }
    inUse.push_back(id);
    return id;
}

void IdPool::Release(uint16_t id)
{
    for (auto it = inUse.begin(); it != inUse.end(); ++it) {
        if (*it == id) {
            inUse.erase(it);
            freeIds.push_back(id);
            return;
        }
    }
}

void IdPool::Clear()
{
    inUse.clear();
    freeIds.clear();
}
