// What the test servers' start-up shares: starting a program with its output
// in a log, a free loopback port, whether a server listens or has ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace twinbay::test {

// Starts argv[0] (a full path) in a process group of its own, stdout and
// stderr into logFile, with LD_LIBRARY_PATH and TZ set where given.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile,
            const std::string& libraryPath = std::string(), const std::string& tz = std::string());
// A port on 127.0.0.1 that was free a moment ago.
int FreePort();
// True when something accepts a connection on 127.0.0.1:port (and, where a
// greeting is given, its first bytes are that).
bool CanConnect(int port, const std::string& greeting = std::string());
// True once the child has ended (and reaps it).
bool Exited(pid_t pid);
// A whole file, or "" when it cannot be read.
std::string Slurp(const std::string& path);

}  // namespace twinbay::test
