// Queuing statements and handing out their filed outcomes.

#include "database.h"

#include <cstdio>
#include <cstring>

#include "databaseworker.h"

namespace {

constexpr int LONG_STATEMENT = 200;
const char NO_STATUS_MARKER[] = "@NOSTATUS";

} // namespace

uint8_t QueryClassOf(const char* text, int length, size_t pipeCount)
{
    bool isSelect = text[0] == 'S' || text[0] == 's';
    bool isLong = length >= LONG_STATEMENT;
    if (isSelect)
        return isLong && pipeCount >= 4 ? 4 : 3;
    return isLong && pipeCount >= 3 ? 2 : 1;
}

uint32_t Database::AddQuery(const char* text, int length, bool wantResult, int reportNoEffect, uint32_t orderKey)
{
    if (!text)
        text = "";
    if (length < 0)
        length = static_cast<int>(strlen(text));

    QUERY query;
    query.queryClass = QueryClassOf(text, length, pipes.size());
    query.text = new char[static_cast<size_t>(length) + 1];
    memcpy(query.text, text, static_cast<size_t>(length));
    query.text[length] = '\0';

    size_t sentLength = static_cast<size_t>(length);
    query.reportNoEffect = reportNoEffect != 0;
    if (char* marker = strstr(query.text, NO_STATUS_MARKER)) {
        *marker = '\0';
        sentLength = static_cast<size_t>(marker - query.text);
        query.reportNoEffect = 0;
    }
    query.length = static_cast<uint32_t>(sentLength + 1);   // the NUL goes out as the last byte
    query.id = nextQueryId;
    query.wantResult = wantResult;
    query.orderKey = orderKey;
    // Id 0 means "nothing pending" to the sessions, so the count skips it.
    if (++nextQueryId == 0)
        nextQueryId = 1;

    queue.push_back(query);
    CountUp(queuedCount);
    return query.id;
}

uint32_t Database::Query(const char* text, int length, uint32_t orderKey)
{
    return AddQuery(text, length, false, 1, orderKey);
}

uint32_t Database::QueryWithResult(const char* text, int length, bool wantResult, uint32_t orderKey)
{
    return AddQuery(text, length, wantResult, 1, orderKey);
}

uint32_t Database::Execute(const char* text, int length, uint32_t orderKey)
{
    uint32_t id = Query(text, length, orderKey);
    queue.back().discard = 1;
    return id;
}

uint32_t Database::Query(const std::string& text, uint32_t orderKey)
{
    return Query(text.c_str(), static_cast<int>(text.size()), orderKey);
}

uint32_t Database::QueryWithResult(const std::string& text, bool wantResult, uint32_t orderKey)
{
    return QueryWithResult(text.c_str(), static_cast<int>(text.size()), wantResult, orderKey);
}

uint32_t Database::Execute(const std::string& text, uint32_t orderKey)
{
    return Execute(text.c_str(), static_cast<int>(text.size()), orderKey);
}

void Database::FileResult(uint32_t id, MYSQL_RES* result, int32_t affectedRows, bool discard)
{
    if (discard) {
        if (result)
            mysql_free_result(result);
        return;
    }
    QUERY_RESULT& entry = results[id];
    // Only after the id count has gone round can an entry still be there.
    if (entry.result && entry.result != result)
        mysql_free_result(entry.result);
    entry = QUERY_RESULT{result, id, affectedRows};
}

QUERY_RESULT* Database::FindResult(uint32_t id)
{
    auto entry = results.find(id);
    return entry == results.end() ? nullptr : &entry->second;
}

bool Database::FreeResult(uint32_t id)
{
    auto entry = results.find(id);
    if (entry != results.end()) {
        if (entry->second.result)
            mysql_free_result(entry->second.result);
        results.erase(entry);
    }
    return true;
}

void Database::Discard(uint32_t id)
{
    if (results.count(id)) {
        FreeResult(id);
        return;
    }
    // Still queued? Fire-and-forget callers discard right after queuing, so
    // look from the back.
    for (auto query = queue.rbegin(); query != queue.rend(); ++query) {
        if (query->id == id) {
            query->discard = 1;
            return;
        }
    }
    for (PIPE& pipe : pipes) {
        for (THREAD_INFO* info : pipe.threads) {
            if (info->queryId == id) {
                info->discard = 1;
                return;
            }
        }
    }
    // Collected already, with nothing filed: nothing to do.
}

MYSQL_RES* Database::GetResult(uint32_t id)
{
    QUERY_RESULT* entry = FindResult(id);
    return entry ? entry->result : nullptr;
}

size_t Database::GetResultCount() const
{
    return results.size();
}
