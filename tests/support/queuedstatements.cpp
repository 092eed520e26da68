#include "queuedstatements.h"

#include "database.h"

std::vector<std::string> TakeQueuedStatements(Database& database)
{
    std::vector<std::string> texts;
    for (QUERY& query : database.queue) {
        texts.emplace_back(query.text);
        delete[] query.text;
    }
    database.queue.clear();
    return texts;
}
