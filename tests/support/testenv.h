#pragma once

#include <cstdlib>
#include <string>

// Paths that CTest hands to every test process.
namespace testenv {

inline std::string Get(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Root of the source tree (install/, db/, scripts/ live there).
inline std::string SourceDir() { return Get("LS_SOURCE_DIR"); }

// State directory of the private MariaDB server of this test run.
inline std::string TestDbDir() { return Get("LS_TEST_DB_DIR"); }

// The server binary under test.
inline std::string ServerBinary() { return Get("LS_SERVER_BIN"); }

} // namespace testenv
