#pragma once

// The statements a handler queued, read straight off the database's queue
// so that tests see them without a database server.

#include <string>
#include <vector>

class Database;

// The texts queued and not yet dispatched, oldest first; the queue is left
// empty and the texts freed, as dispatching them would.
std::vector<std::string> TakeQueuedStatements(Database& database);
