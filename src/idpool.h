#pragma once

#include <cstdint>
#include <list>

// Hands out the 16-bit client ids that key the session table.
//
// The counter runs from 5 to 65534, so a client that reconnects gets a new
// id. Ids of departed clients come back (Release) but are handed out again
// only once the counter is spent; when none is free, Allocate answers
// kNoFreeId and the caller must refuse the connection. An id is never held
// by two live clients.
class IdPool {
public:
    static constexpr uint16_t kFirstId = 5;
    static constexpr uint16_t kNoFreeId = 2;   // never a real id: the counter starts at 5

    IdPool();
    ~IdPool();

    void Init();              // counter back to 5, bound 65536; the lists stay
    uint16_t Allocate();      // a free id, or kNoFreeId
    void Release(uint16_t id);// the id's client has gone
    void Clear();             // empties both lists; the counter stays

    uint16_t nextId;          // next id of the counter
    std::list<uint16_t> inUse;   // every id held by a live client, in order of allocation
    std::list<uint16_t> freeIds; // released ids, handed out once the counter is spent
    uint32_t maxId;           // bound of the counter: 65536 after Init (tests may lower it)
};
