#pragma once

// The long-lived worker thread of one pipe: it takes the statements handed
// to it in order and runs each with QueryThreadProc, then publishes the
// record's exit code and raises nlSignalWake, so that a main loop pausing
// for work collects it at once. Used only by the Database.

#include "database.h"
#include "databaseconnection.h"

// Opens the pipe's connection on mysql, an initialised handle, and starts
// its worker; null when either fails.
PipeWorker* StartPipeWorker(const ConnectionSettings& settings, MYSQL* mysql);

// Hands a dispatched record to the worker. The worker touches the record
// until it stores the record's exit code, and never after.
void HandToPipeWorker(PipeWorker* worker, THREAD_INFO* info);

// Lets the worker finish what it was handed, ends its thread and frees it.
void StopPipeWorker(PipeWorker* worker);

// Releases a record with everything it owns (text, error copy, result set).
void FreeThreadInfo(THREAD_INFO* info);
